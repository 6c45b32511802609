// The IIDC mode and packet tables for Formats 0 and 1, and the shapes derived from them.
#include "simbus/VideoModes.h"

#include <array>

namespace simbus {
namespace {

struct FixedMode {
    unsigned width;
    unsigned height;
    ColorCoding coding;
    std::array<unsigned, kRateCount> quadlets;  // per packet, by rate; 0 = not offered
};

using enum ColorCoding;
constexpr std::array<std::array<FixedMode, 8>, kFixedFormatCount> kFixedModes{{
    {{
        {160, 120, Yuv444, {0, 0, 15, 30, 60, 0}},
        {320, 240, Yuv422, {0, 20, 40, 80, 160, 0}},
        {640, 480, Yuv411, {0, 60, 120, 240, 480, 0}},
        {640, 480, Yuv422, {0, 80, 160, 320, 640, 0}},
        {640, 480, Rgb8, {0, 120, 240, 480, 960, 0}},
        {640, 480, Mono8, {0, 40, 80, 160, 320, 640}},
        {640, 480, Mono16, {0, 80, 160, 320, 640, 0}},
        {0, 0, None, {0, 0, 0, 0, 0, 0}},
    }},
    {{
        {800, 600, Yuv422, {0, 125, 250, 500, 1000, 0}},
        {800, 600, Rgb8, {0, 0, 375, 750, 0, 0}},
        {800, 600, Mono8, {0, 0, 125, 250, 500, 1000}},
        {1024, 768, Yuv422, {96, 192, 384, 768, 0, 0}},
        {1024, 768, Rgb8, {144, 288, 576, 0, 0, 0}},
        {1024, 768, Mono8, {48, 96, 192, 384, 768, 0}},
        {800, 600, Mono16, {0, 125, 250, 500, 1000, 0}},
        {1024, 768, Mono16, {96, 192, 384, 768, 0, 0}},
    }},
}};

}  // namespace

unsigned BitsPerPixel(ColorCoding coding) {
    switch (coding) {
        case Mono8:
        case Raw8:
            return 8;
        case Yuv411:
            return 12;
        case Yuv422:
        case Mono16:
            return 16;
        case Yuv444:
        case Rgb8:
            return 24;
        case Rgb16:
            return 48;
        case None:
            break;
    }
    return 0;
}

std::optional<BayerFilter> BayerFilterNamed(std::string_view name) {
    constexpr std::array<std::string_view, 6> kNames{"none", "rggb", "gbrg",
                                                     "grbg", "bggr", "unlisted"};
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        if (name == kNames[i]) return BayerFilter(i);
    }
    return std::nullopt;
}

unsigned PixelsPerGroup(ColorCoding coding) {
    switch (coding) {
        case Yuv411:
            return 4;
        case Yuv422:
            return 2;
        default:
            return 1;
    }
}

std::uint32_t FrameBytes(const FrameFormat& format) {
    return std::uint32_t(std::uint64_t{format.width} * format.height * BitsPerPixel(format.coding) /
                         8);
}

unsigned FixedQuadletsPerPacket(unsigned format, unsigned mode, unsigned rate) {
    if (format >= kFixedFormatCount || mode >= 8 || rate >= kRateCount) return 0;
    return kFixedModes[format][mode].quadlets[rate];
}

std::optional<StreamShape> FixedModeShape(unsigned format, unsigned mode, unsigned rate) {
    const unsigned quadlets = FixedQuadletsPerPacket(format, mode, rate);
    if (quadlets == 0) return std::nullopt;
    const FixedMode& row = kFixedModes[format][mode];
    StreamShape shape;
    shape.format = {row.width, row.height, row.coding, 0, 0, row.width, row.height};
    shape.frameBytes = FrameBytes(shape.format);
    shape.bytesPerPacket = quadlets * 4;
    shape.packetsPerFrame = (shape.frameBytes + shape.bytesPerPacket - 1) / shape.bytesPerPacket;
    // 8000 cycles per second over 1.875 x 2^rate frames per second: 12800 / 3 cycles at 1.875.
    shape.cyclesNum = 12800u >> rate;
    shape.cyclesDen = 3;
    return shape;
}

}  // namespace simbus
