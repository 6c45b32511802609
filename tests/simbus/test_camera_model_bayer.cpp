// The simulated colour sensor: RAW8 is offered only with a filter, its register names the
// pattern (or answers an address error when unlisted), and every RAW8 pixel is its filter's
// channel of the RGB picture of the same frame.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "simbus/CameraModel.h"
#include "tests/simbus/CameraModelFixture.h"

namespace {

using simbus::BayerFilter;
using simbus::CameraModel;

constexpr std::uint32_t kRaw8 = 9;
constexpr std::uint32_t kRgb8 = 4;
constexpr std::uint32_t kColorFilterId = 0x58;
constexpr std::uint32_t kWindow = 8u << 16 | 4;  // left 8, top 4: the filter keeps its phase
constexpr std::uint32_t kSize = 64u << 16 | 6;

class ColourSensor : public simbus::test::CameraModelFixture {
protected:
    std::vector<std::uint8_t> Frame(std::uint32_t coding) {
        SetFormat7(coding, kWindow, kSize);
        std::vector<std::uint8_t> frame(cam.Stream().frameBytes);
        cam.RenderFrame(frame, 3);
        return frame;
    }
};

TEST_F(ColourSensor, Raw8IsEachPixelsFilterChannelOfTheRgbPicture) {
    const char* quads[] = {"RGGB", "GBRG", "GRBG", "BGGR"};
    const BayerFilter filters[] = {BayerFilter::Rggb, BayerFilter::Gbrg, BayerFilter::Grbg,
                                   BayerFilter::Bggr};
    for (int p = 0; p < 4; ++p) {
        SCOPED_TRACE(quads[p]);
        cam = CameraModel(0x00C0FFEE, CameraModel::Kind::Kx1360, filters[p]);
        EXPECT_NE(Get(F7(0x14)) & (0x8000'0000u >> kRaw8), 0u) << "RAW8 listed";
        EXPECT_EQ(Get(F7(kColorFilterId)), std::uint32_t(p) << 24);
        const std::vector<std::uint8_t> rgb = Frame(kRgb8);
        const std::vector<std::uint8_t> raw = Frame(kRaw8);
        ASSERT_EQ(raw.size(), 64u * 6);
        for (std::size_t i = 4; i < raw.size(); ++i) {  // past the counter stamp
            const std::size_t x = i % 64, y = i / 64;
            const char seen = quads[p][2 * (y % 2) + x % 2];
            const std::size_t channel = seen == 'R' ? 0 : seen == 'G' ? 1 : 2;
            ASSERT_EQ(raw[i], rgb[3 * i + channel]) << x << "," << y;
        }
    }
}

TEST_F(ColourSensor, OnlyASensorWithAListedFilterNamesIt) {
    std::uint32_t value = 0;
    EXPECT_EQ(Get(F7(0x14)) & (0x8000'0000u >> kRaw8), 0u) << "a mono sensor sends no RAW8";
    EXPECT_EQ(cam.Read(F7(kColorFilterId), value), Access::Unmapped);
    cam = CameraModel(0x00C0FFEE, CameraModel::Kind::Generic, BayerFilter::Unlisted);
    EXPECT_NE(Get(F7(0x14)) & (0x8000'0000u >> kRaw8), 0u);
    EXPECT_EQ(cam.Read(F7(kColorFilterId), value), Access::Unmapped);
    EXPECT_EQ(simbus::BayerFilterNamed("unlisted"), BayerFilter::Unlisted);
    EXPECT_EQ(simbus::BayerFilterNamed("RGGB"), std::nullopt);
}

}  // namespace
