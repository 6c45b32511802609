// The fixed IIDC video modes (Formats 0 to 2) by flattened mode index, and the quadlets each
// mode sends per isochronous packet at each frame rate.
#pragma once

#include <cstdint>

namespace camera {

inline constexpr int kFixedModeCount = 24;  // flattened indices 0..23: format x 8 + mode
inline constexpr int kFormat7First = 24;    // 24..31: Format 7 modes 0..7
inline constexpr int kModeIndexEnd = 32;
inline constexpr int kRateCount = 6;  // 1.875, 3.75, 7.5, 15, 30, 60 frames per second
inline constexpr int kCodingNone = 7;

struct VideoMode {
    int width;
    int height;
    int bitsPerPixel;
    int colorCoding;  // IIDC colour coding id
};

// The row of a fixed mode, or null for an index outside 0..23.
const VideoMode* FixedMode(int modeIndex);
// Width x height x bits / 8 of a fixed mode; 0 for an unknown index or an empty row.
std::uint32_t FixedModeFrameBytes(int modeIndex);
// Quadlets per packet of a fixed mode at a rate index; 0 when the pair does not exist.
int PacketQuadlets(int modeIndex, int rateIndex);

}  // namespace camera
