// The simulated camera's picture: a lit scene with a bar that moves with the frame counter, or
// colour bars, in any IIDC colour coding, with the counter stamped big-endian into the first 4
// bytes. The finished picture is kept between frames, so a frame costs one copy plus the bar
// until the settings or the format change.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "simbus/VideoModes.h"

namespace simbus {

// What the camera's settings do to the picture, in whole numbers so that a change is a plain
// comparison.
struct PictureSettings {
    static constexpr std::uint32_t kUnitScale = 4096;
    static constexpr std::uint32_t kMaxScale = 256 * kUnitScale;  // beyond it all is white
    int brightness = 0;  // added to every channel, -255..255
    // Exposure x gain x white balance for red, green and blue, in 1/kUnitScale.
    std::array<std::uint32_t, 3> scale{kUnitScale, kUnitScale, kUnitScale};
    unsigned saturation = 128;  // 128 unchanged, 0 grey
    unsigned gamma = 0;         // 0 linear, 1 to 3 the ever gentler curves
    bool negative = false;
    bool colourBars = false;  // bars replace the scene; they bypass the settings above
    bool operator==(const PictureSettings&) const = default;
};

class TestPicture {
public:
    // Writes frame counter's picture in format into frame: FrameBytes(format) bytes, or what
    // fits when frame is shorter. Allocates only when format or settings change.
    void Render(const FrameFormat& format, const PictureSettings& settings, std::uint32_t counter,
                std::span<std::uint8_t> frame);

    // Mean luma (0..255) of the scene before saturation and negative act, as an exposure meter
    // sees it; -1 for colour bars, which no exposure changes.
    double MeanLevel() const { return m_meanLevel; }

private:
    void Prepare(const FrameFormat& format, const PictureSettings& settings);
    void PrepareScene();
    void PrepareColourBars();
    void DrawBar(std::uint32_t counter, std::span<std::uint8_t> frame) const;

    bool m_ready = false;
    FrameFormat m_format;
    PictureSettings m_settings;
    std::vector<std::uint8_t> m_background;  // the whole frame without bar and counter
    // Whole rows in the bar's colour (two for a mosaic, whose rows alternate); empty: no bar.
    std::vector<std::uint8_t> m_barRows;
    double m_meanLevel = -1;
};

}  // namespace simbus
