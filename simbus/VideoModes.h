// The IIDC video modes, frame rates and colour codings of the simulated camera, and the frame
// and packet shape each gives.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace simbus {

// IIDC colour coding ids.
enum class ColorCoding : std::uint8_t {
    Mono8 = 0,
    Yuv411 = 1,
    Yuv422 = 2,
    Yuv444 = 3,
    Rgb8 = 4,
    Mono16 = 5,
    Rgb16 = 6,
    None = 7,
    Raw8 = 9,  // one byte a pixel, each under its colour filter
};
// Bits per pixel; 0 for None and unknown ids.
unsigned BitsPerPixel(ColorCoding coding);
// Pixels that share one group of bytes (4 for YUV 4:1:1, 2 for 4:2:2, else 1).
unsigned PixelsPerGroup(ColorCoding coding);

// The colour filter of a camera's sensor. With one, Format 7 mode 0 also sends RAW8 and its
// COLOR_FILTER_ID register names the pattern; Unlisted mosaics as RGGB but has no such register,
// as a camera older than IIDC 1.31 that sends raw frames.
enum class BayerFilter : std::uint8_t { None, Rggb, Gbrg, Grbg, Bggr, Unlisted };
// "none", "rggb", "gbrg", "grbg", "bggr" or "unlisted"; nothing for any other name.
std::optional<BayerFilter> BayerFilterNamed(std::string_view name);

// The picture a frame holds: its size and coding, and where it lies on the sensor (a fixed mode
// scales the whole sensor; a Format 7 frame is a window of it).
struct FrameFormat {
    unsigned width = 0;
    unsigned height = 0;
    ColorCoding coding = ColorCoding::None;
    unsigned left = 0;
    unsigned top = 0;
    unsigned sensorWidth = 0;  // width and height of the scene the frame is cut from
    unsigned sensorHeight = 0;
    // RAW8: the filter over the frame's top-left 2 x 2 pixels, 0 RGGB, 1 GBRG, 2 GRBG, 3 BGGR.
    unsigned mosaic = 0;
    bool operator==(const FrameFormat&) const = default;
};
std::uint32_t FrameBytes(const FrameFormat& format);

// How a usable mode streams: frames start every cyclesNum / cyclesDen 125-microsecond cycles.
struct StreamShape {
    FrameFormat format;
    std::uint32_t frameBytes = 0;
    std::uint32_t bytesPerPacket = 0;
    std::uint32_t packetsPerFrame = 0;
    std::uint32_t cyclesNum = 0;
    std::uint32_t cyclesDen = 1;
};

inline constexpr unsigned kRateCount = 6;  // 1.875, 3.75, 7.5, 15, 30, 60 fps

// Formats 0 and 1 (the fixed VGA and SVGA/XGA modes); the camera offers no other fixed format.
inline constexpr unsigned kFixedFormatCount = 2;
// Quadlets per packet of a fixed format, mode and rate; 0 when the camera does not offer it.
unsigned FixedQuadletsPerPacket(unsigned format, unsigned mode, unsigned rate);
// Shape of a fixed mode at a rate, or nothing when the camera does not offer the combination.
std::optional<StreamShape> FixedModeShape(unsigned format, unsigned mode, unsigned rate);

}  // namespace simbus
