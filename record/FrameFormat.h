// What a recording's frames are, as its writers need to know: size, coding, sample size and the
// camera's rate, taken from the stream's mode.
#pragma once

#include <cstdint>
#include <string>

#include "camera/BayerPattern.h"
#include "camera/CameraModes.h"

namespace kestrix::record {

struct FrameFormat {
    // IIDC colour codings a writer distinguishes.
    enum Coding : int {
        Mono8 = 0, Yuv411 = 1, Yuv422 = 2, Yuv444 = 3, Rgb8 = 4, Mono16 = 5, Rgb16 = 6, Raw8 = 9
    };
    int coding = Mono8;
    int width = 0;
    int height = 0;
    BayerPattern bayer = BayerPattern::None;
    double fps = 0;                 // 0 when the rate is not known
    std::uint32_t frameBytes = 0;   // of one frame as the camera sends it

    static FrameFormat Of(const CameraModes::Mode& mode, double fps);
    // Bits of one sample (8 or 16), and samples per pixel (1 or 3) of mono, raw and RGB frames;
    // 0 for the YUV codings.
    int BitDepth() const;
    int Channels() const;
    // The mode's name as --list gives it: 1360x1024-mono8.
    std::string Name() const;
};

}  // namespace kestrix::record
