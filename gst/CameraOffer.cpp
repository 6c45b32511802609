// Reading a camera's offers and identity.
#include "gst/CameraOffer.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "camera/Format7Geometry.h"
#include "camera/IidcRegisters.h"
#include "camera/VideoModeTables.h"
#include "platform/ByteOrder.h"

namespace {

using DWORD = C1394Dcam::DWORD;

constexpr int kCyclesPerSecond = 8000;
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

// A Format 7 mode sends its largest packets, so its frame takes the fewest cycles.
Fraction Format7Rate(C1394Dcam& cam, int camera, const CameraModes::Mode& mode) {
    DWORD packet = 0;
    const int f7mode = mode.modeIndex - camera::kFormat7First;
    if (!cam.ReadFormat7Register(camera, f7mode, camera::iidc::kPacketParaInq, &packet, false) ||
        camera::iidc::Low16(packet) == 0) {
        return {};
    }
    const std::uint64_t bytes = std::uint64_t(mode.width) * std::uint64_t(mode.height) *
                                std::uint64_t(Format7Geometry::BitsPerPixel(mode.colorCoding)) / 8;
    const std::uint64_t packets =
        (bytes + camera::iidc::Low16(packet) - 1) / camera::iidc::Low16(packet);
    return {kCyclesPerSecond, int(std::max<std::uint64_t>(packets, 1))};
}

}  // namespace

Fraction ModeOffer::RateOf(int rateIndex) {
    // 1.875 x 2^index frames per second.
    return {15 << rateIndex, 8};
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
            offer.format7Rate = Format7Rate(cam, camera, offer.mode);
            if (offer.format7Rate.num == 0) continue;
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
