// Format 7 limits from the inquiry registers, and the region and packet arithmetic.
#include "camera/Format7Geometry.h"

#include <algorithm>
#include <array>

#include "camera/C1394Dcam.h"
#include "camera/IidcRegisters.h"

namespace {

using camera::iidc::High16;
using camera::iidc::Low16;

// Where IIDC 1.31 cameras give the position steps apart from the size steps; older ones answer
// 0 there (or nothing), and their position steps are the size steps.
constexpr std::uint32_t kUnitPositionInq = 0x4C;

// By IIDC colour coding id; the signed 16-bit codings (7, 8) are not taken.
constexpr std::array<int, 10> kBits{8, 12, 16, 24, 24, 16, 48, 0, 0, 8};

// value rounded down to a multiple of step (step > 0).
int Floor(int value, int step) { return value / step * step; }

}  // namespace

std::optional<Format7Geometry> Format7Geometry::Read(C1394Dcam& cam, int camera, int f7mode) {
    using namespace camera::iidc;
    C1394Dcam::DWORD largest = 0, units = 0, packets = 0, perPacket = 0, position = 0;
    if (!cam.ReadFormat7Register(camera, f7mode, kMaxImageSizeInq, &largest, false) ||
        !cam.ReadFormat7Register(camera, f7mode, kUnitSizeInq, &units, true) ||
        !cam.ReadFormat7Register(camera, f7mode, kPacketParaInq, &packets, true)) {
        return std::nullopt;
    }
    Format7Geometry g;
    g.maxWidth = int(High16(largest));
    g.maxHeight = int(Low16(largest));
    g.unitWidth = int(High16(units));
    g.unitHeight = int(Low16(units));
    g.packetUnit = int(High16(packets));
    g.packetMax = int(Low16(packets));
    if (g.maxWidth == 0 || g.maxHeight == 0 || g.unitWidth == 0 || g.unitHeight == 0 ||
        g.packetUnit == 0 || g.packetMax < g.packetUnit) {
        return std::nullopt;
    }
    const bool apart = cam.ReadFormat7Register(camera, f7mode, kUnitPositionInq, &position, true) &&
                       High16(position) != 0 && Low16(position) != 0;
    g.unitLeft = apart ? int(High16(position)) : g.unitWidth;
    g.unitTop = apart ? int(Low16(position)) : g.unitHeight;
    if (cam.ReadFormat7Register(camera, f7mode, kBytePerPacket, &perPacket, true))
        g.packetRecommended = int(Low16(perPacket));
    return g;
}

Format7Region Format7Geometry::Fit(Format7Region r) const {
    r.width = std::clamp(Floor(r.width, unitWidth), unitWidth, Floor(maxWidth, unitWidth));
    r.height = std::clamp(Floor(r.height, unitHeight), unitHeight, Floor(maxHeight, unitHeight));
    r.left =
        std::clamp(Floor(std::max(r.left, 0), unitLeft), 0, Floor(maxWidth - r.width, unitLeft));
    r.top = std::clamp(Floor(std::max(r.top, 0), unitTop), 0, Floor(maxHeight - r.height, unitTop));
    return r;
}

int Format7Geometry::LargestPacket(int speedMax) const {
    return std::max(Floor(std::min(packetMax, speedMax), packetUnit), packetUnit);
}

int Format7Geometry::FitPacket(int bytes, int speedMax) const {
    return std::clamp(Floor(bytes, packetUnit), packetUnit, LargestPacket(speedMax));
}

int Format7Geometry::BitsPerPixel(int coding) {
    return coding >= 0 && coding < int(kBits.size()) ? kBits[std::size_t(coding)] : 0;
}

std::uint64_t Format7Geometry::FrameBytes(const Format7Region& region, int coding) {
    return std::uint64_t(std::max(region.width, 0)) * std::uint64_t(std::max(region.height, 0)) *
           std::uint64_t(BitsPerPixel(coding)) / 8;
}

std::uint64_t Format7Geometry::PacketsPerFrame(std::uint64_t frameBytes, int bytesPerPacket) {
    if (bytesPerPacket <= 0) return 0;
    const auto packet = std::uint64_t(bytesPerPacket);
    return (frameBytes + packet - 1) / packet;
}

double Format7Geometry::FrameRate(std::uint64_t frameBytes, int bytesPerPacket) {
    const std::uint64_t packets = PacketsPerFrame(frameBytes, bytesPerPacket);
    return packets == 0 ? 0.0 : kCyclesPerSecond / double(packets);
}
