// Reading what a camera offers, and the arithmetic of Format 7 sizes and rates.
#include "session/ModeOffer.h"

#include <algorithm>
#include <cstdint>
#include <numeric>

#include "camera/VideoModeTables.h"

namespace kestrix::session {

std::vector<ModeOffer> ModeOffer::Read(C1394Dcam& cam, int camera) {
    std::vector<ModeOffer> offers;
    for (CameraModes::Mode& mode : CameraModes::Read(cam, camera)) {
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

}  // namespace kestrix::session
