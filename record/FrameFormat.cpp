// The frames of a mode as the writers see them.
#include "record/FrameFormat.h"

namespace kestrix::record {

namespace {

// Bytes per pixel times two (YUV 4:1:1 takes 1.5 bytes a pixel).
int HalfBytesPerPixel(int coding) {
    switch (coding) {
        case FrameFormat::Mono8:
        case FrameFormat::Raw8:
            return 2;
        case FrameFormat::Yuv411:
            return 3;
        case FrameFormat::Yuv422:
        case FrameFormat::Mono16:
            return 4;
        case FrameFormat::Yuv444:
        case FrameFormat::Rgb8:
            return 6;
        default:
            return 12;  // RGB 16
    }
}

}  // namespace

FrameFormat FrameFormat::Of(const CameraModes::Mode& mode, double fps) {
    FrameFormat f;
    f.coding = mode.colorCoding;
    f.width = mode.width;
    f.height = mode.height;
    f.bayer = mode.bayer;
    f.fps = fps;
    f.frameBytes = std::uint32_t(std::uint64_t(mode.width) * std::uint64_t(mode.height) *
                                 std::uint64_t(HalfBytesPerPixel(mode.colorCoding)) / 2);
    return f;
}

int FrameFormat::BitDepth() const {
    switch (coding) {
        case Mono8:
        case Raw8:
        case Rgb8:
            return 8;
        case Mono16:
        case Rgb16:
            return 16;
        default:
            return 0;
    }
}

int FrameFormat::Channels() const {
    if (BitDepth() == 0) return 0;
    return coding == Rgb8 || coding == Rgb16 ? 3 : 1;
}

std::string FrameFormat::Name() const {
    return std::to_string(width) + "x" + std::to_string(height) + "-" +
           CameraModes::CodingName(coding);
}

}  // namespace kestrix::record
