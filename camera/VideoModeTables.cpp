// The fixed-mode and packet-size tables.
#include "camera/VideoModeTables.h"

#include <array>

namespace camera {
namespace {

// clang-format off
constexpr std::array<VideoMode, kFixedModeCount> kModes{{
    {160, 120, 24, 3},    // Format 0: YUV 4:4:4
    {320, 240, 16, 2},    // YUV 4:2:2
    {640, 480, 12, 1},    // YUV 4:1:1
    {640, 480, 16, 2},    // YUV 4:2:2
    {640, 480, 24, 4},    // RGB 8
    {640, 480, 8, 0},     // mono 8
    {640, 480, 16, 5},    // mono 16
    {0, 0, 0, kCodingNone},
    {800, 600, 16, 2},    // Format 1
    {800, 600, 24, 4},
    {800, 600, 8, 0},
    {1024, 768, 16, 2},
    {1024, 768, 24, 4},
    {1024, 768, 8, 0},
    {800, 600, 16, 5},
    {1024, 768, 16, 5},
    {1280, 960, 16, 2},   // Format 2
    {1280, 960, 24, 4},
    {1280, 960, 8, 0},
    {1600, 1200, 16, 2},
    {1600, 1200, 24, 4},
    {1600, 1200, 8, 0},
    {1280, 960, 16, 5},
    {1600, 1200, 16, 5},
}};

using PacketRow = std::array<int, kRateCount>;
constexpr std::array<PacketRow, kFixedModeCount> kPacketQuadlets{{
    {0, 0, 15, 30, 60, 0},
    {0, 20, 40, 80, 160, 0},
    {0, 60, 120, 240, 480, 0},
    {0, 80, 160, 320, 640, 0},
    {0, 120, 240, 480, 960, 0},
    {0, 40, 80, 160, 320, 640},
    {0, 80, 160, 320, 640, 0},
    {0, 0, 0, 0, 0, 0},
    {0, 125, 250, 500, 1000, 0},
    {0, 0, 375, 750, 0, 0},
    {0, 0, 125, 250, 500, 1000},
    {96, 192, 384, 768, 0, 0},
    {144, 288, 576, 0, 0, 0},
    {48, 96, 192, 384, 768, 0},
    {0, 125, 250, 500, 1000, 0},
    {96, 192, 384, 768, 0, 0},
    {160, 320, 640, 0, 0, 0},
    {240, 480, 960, 0, 0, 0},
    {80, 160, 320, 640, 0, 0},
    {250, 500, 1000, 0, 0, 0},
    {375, 750, 0, 0, 0, 0},
    {125, 250, 500, 1000, 0, 0},
    {160, 320, 640, 0, 0, 0},
    {250, 500, 1000, 0, 0, 0},
}};
// clang-format on

}  // namespace

const VideoMode* FixedMode(int modeIndex) {
    if (modeIndex < 0 || modeIndex >= kFixedModeCount) return nullptr;
    return &kModes[static_cast<std::size_t>(modeIndex)];
}

std::uint32_t FixedModeFrameBytes(int modeIndex) {
    const VideoMode* mode = FixedMode(modeIndex);
    if (mode == nullptr) return 0;
    return static_cast<std::uint32_t>(mode->width * mode->height * mode->bitsPerPixel / 8);
}

int PacketQuadlets(int modeIndex, int rateIndex) {
    if (FixedMode(modeIndex) == nullptr || rateIndex < 0 || rateIndex >= kRateCount) return 0;
    return kPacketQuadlets[static_cast<std::size_t>(modeIndex)]
                          [static_cast<std::size_t>(rateIndex)];
}

}  // namespace camera
