// Reading a camera's offers and identity.
#include "gst/CameraOffer.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <numeric>

#include "camera/Format7Geometry.h"
#include "camera/IidcRegisters.h"
#include "camera/VideoModeTables.h"
#include "platform/ByteOrder.h"

namespace {

using DWORD = C1394Dcam::DWORD;

constexpr int kMaxNode = 63;
// The GUID's two quadlets in the bus information block of the configuration ROM.
constexpr DWORD kGuidHigh = camera::iidc::kRegisterSpace + 0x40C;
constexpr DWORD kGuidLow = camera::iidc::kRegisterSpace + 0x410;

std::optional<DWORD> ReadCsr(C1394Dcam& cam, int node, DWORD offsetLow) {
    std::uint8_t bytes[4];
    if (cam.AsyncRead(bytes, 4, camera::iidc::kLocalBus, unsigned(node), camera::iidc::kOffsetHigh,
                      offsetLow) != 4) {
        return {};
    }
    return platform::LoadBE32(bytes);
}

std::optional<std::uint64_t> ReadGuid(C1394Dcam& cam, int camera) {
    if (!cam.SelectCamera(camera)) return {};
    const int node = cam.GetNodeNumber(false);
    if (node < 0 || node > kMaxNode) return {};
    const auto high = ReadCsr(cam, node, kGuidHigh);
    const auto low = ReadCsr(cam, node, kGuidLow);
    if (!high || !low) return {};
    return std::uint64_t{*high} << 32 | *low;
}

}  // namespace

Fraction ModeOffer::RateOf(int rateIndex) {
    // 1.875 x 2^index frames per second.
    return {15 << rateIndex, 8};
}

bool ModeOffer::Fits(int width, int height) const {
    if (!format7) return false;
    const Format7Geometry& g = *format7;
    return width >= g.unitWidth && height >= g.unitHeight && width % g.unitWidth == 0 &&
           height % g.unitHeight == 0 && width <= g.maxWidth && height <= g.maxHeight;
}

Fraction ModeOffer::Format7Rate(int width, int height) const {
    if (!format7) return {};
    const std::uint64_t packets = Format7Geometry::PacketsPerFrame(
        Format7Geometry::FrameBytes({0, 0, width, height}, mode.colorCoding), format7->packetMax);
    if (packets == 0 || packets > std::uint64_t(INT32_MAX)) return {};
    return {int(Format7Geometry::kCyclesPerSecond), int(packets)};
}

Format7Region ModeOffer::Centred(int width, int height) const {
    if (!format7) return {0, 0, width, height};
    const Format7Geometry& g = *format7;
    // The camera library also wants the corner on the size grid: a multiple of both steps suits
    // either.
    const int stepX = std::lcm(g.unitLeft, g.unitWidth);
    const int stepY = std::lcm(g.unitTop, g.unitHeight);
    return {std::max(0, (g.maxWidth - width) / 2) / stepX * stepX,
            std::max(0, (g.maxHeight - height) / 2) / stepY * stepY, width, height};
}

std::string CameraIdentity::GuidText() const {
    if (!guid) return {};
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(*guid));
    return text;
}

std::vector<ModeOffer> ReadOffers(C1394Dcam& cam, int camera) {
    std::vector<ModeOffer> offers;
    for (CameraModes::Mode& mode : CameraModes::Read(cam, camera)) {
        if (mode.colorCoding == FrameConverter::Rgb16) continue;
        ModeOffer offer{std::move(mode), {}, {}};
        if (offer.mode.Format7()) {
            offer.format7 =
                Format7Geometry::Read(cam, camera, offer.mode.modeIndex - camera::kFormat7First);
            if (!offer.format7 || !offer.Fits(offer.format7->unitWidth, offer.format7->unitHeight))
                continue;
        } else {
            for (int rate = camera::kRateCount - 1; rate >= 0; --rate) {
                if (offer.mode.OffersRate(rate) &&
                    camera::PacketQuadlets(offer.mode.modeIndex, rate) > 0) {
                    offer.rateIndexes.push_back(rate);
                }
            }
            if (offer.rateIndexes.empty()) continue;
        }
        offers.push_back(std::move(offer));
    }
    return offers;
}

std::vector<CameraIdentity> ListCameras(C1394Dcam& cam) {
    std::vector<CameraIdentity> cameras;
    const int count = cam.GetDeviceCount(C1394Dcam::kCameraDevices);
    for (int camera = 0; camera < count; ++camera) {
        const int device = cam.GetCameraDevice(camera);
        cameras.push_back({camera, cam.GetDevicePath(unsigned(device)), cam.GetVendorId(camera),
                           ReadGuid(cam, camera)});
    }
    return cameras;
}

std::optional<std::uint64_t> ParseGuid(const std::string& text) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    if (digits.empty() || digits.size() > 16 ||
        !std::all_of(digits.begin(), digits.end(),
                     [](unsigned char c) { return std::isxdigit(c) != 0; })) {
        return {};
    }
    return std::stoull(digits, nullptr, 16);
}
