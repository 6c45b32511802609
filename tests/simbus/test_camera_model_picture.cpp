// The simulated camera's picture: counter stamp, moving bar, and how it answers the settings
// (compared through means, never pixel by pixel).
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "simbus/CameraModel.h"
#include "tests/simbus/CameraModelFixture.h"

namespace {

using simbus::test::kOn;

constexpr std::uint32_t kManual = 0x8200'0000;

class CameraPictureTest : public simbus::test::CameraModelFixture {
protected:
    void SetUp() override { SetMode(0, 4, 3); }  // 640 x 480 RGB 8 at 15 fps

    std::vector<std::uint8_t> Frame(std::uint32_t counter = 7) {
        std::vector<std::uint8_t> frame(cam.Stream().frameBytes);
        cam.RenderFrame(frame, counter);
        return frame;
    }
    // Mean of every stride-th byte from first, after the counter stamp.
    static double Mean(const std::vector<std::uint8_t>& f, std::size_t first, std::size_t stride) {
        double sum = 0;
        std::size_t n = 0;
        for (std::size_t i = first + (first < 4 ? stride : 0); i < f.size(); i += stride, ++n)
            sum += f[i];
        return n ? sum / double(n) : 0;
    }
    std::array<double, 3> RgbMeans() {
        const auto f = Frame();
        return {Mean(f, 0, 3), Mean(f, 1, 3), Mean(f, 2, 3)};
    }
    double Brightness() {
        const auto m = RgbMeans();
        return (m[0] + m[1] + m[2]) / 3;
    }
};

TEST_F(CameraPictureTest, EveryOfferedModeRendersInPlaceWithTheCounterBigEndian) {
    std::vector<std::array<unsigned, 3>> modes;  // format, mode, rate
    for (unsigned format = 0; format < 2; ++format)
        for (unsigned mode = 0; mode < 8; ++mode) {
            const std::uint32_t rates = Get(Cmd(0x200 + 32 * format + 4 * mode));
            for (unsigned rate = 0; rate < 6; ++rate)
                if (rates & (kOn >> rate)) {
                    modes.push_back({format, mode, rate});
                    break;
                }
        }
    EXPECT_EQ(modes.size(), 15u);
    for (const unsigned coding : {0u, 2u, 4u}) modes.push_back({7, coding, 0});

    for (const auto& [format, mode, rate] : modes) {
        if (format == 7)
            SetFormat7(mode, 0, 1360u << 16 | 1024);
        else
            SetMode(format, mode, rate);
        const std::uint32_t bytes = cam.Stream().frameBytes;
        ASSERT_GT(bytes, 0u) << format << "/" << mode;
        std::vector<std::uint8_t> buffer(bytes + 64, 0xA5);
        cam.RenderFrame(std::span(buffer).first(bytes), 0x1234'5678);
        EXPECT_EQ(buffer[0], 0x12);
        EXPECT_EQ(buffer[1], 0x34);
        EXPECT_EQ(buffer[2], 0x56);
        EXPECT_EQ(buffer[3], 0x78);
        EXPECT_EQ(buffer[bytes], 0xA5) << "nothing past the frame";
        EXPECT_GT(Mean(buffer, 0, 1), 20.0) << format << "/" << mode << " has a picture";

        // A short buffer gets what fits and nothing more.
        std::fill(buffer.begin(), buffer.end(), 0xA5);
        cam.RenderFrame(std::span(buffer).first(1001), 0xFFFF'FFFF);
        EXPECT_EQ(buffer[0], 0xFF);
        EXPECT_EQ(buffer[1001], 0xA5);
    }
}

TEST_F(CameraPictureTest, TheBarMovesWithTheCounterAndNothingElseDoes) {
    const auto a = Frame(0), b = Frame(1), again = Frame(0);
    EXPECT_EQ(again, a) << "the same counter gives the same frame";
    std::size_t differing = 0;
    for (std::size_t i = 4; i < a.size(); ++i) differing += a[i] != b[i];
    EXPECT_GT(differing, 0u);
    EXPECT_LT(differing, a.size() / 8) << "only the bar's edges move";
}

TEST_F(CameraPictureTest, LightSettingsMoveTheMean) {
    const double base = Brightness();
    EXPECT_GT(base, 80.0);
    EXPECT_LT(base, 180.0);

    Set(Cmd(0x800), kManual + 128 + 64);
    EXPECT_NEAR(Brightness(), base + 64, 12);
    Set(Cmd(0x800), kManual + 128 - 64);
    EXPECT_NEAR(Brightness(), base - 64, 12);
    Set(Cmd(0x800), 0x8300'0080);  // automatic: no offset of its own
    EXPECT_NEAR(Brightness(), base, 1);

    Set(Cmd(0x820), kManual + 64);  // twice the gain
    EXPECT_GT(Brightness(), base + 40);
    Set(Cmd(0x820), kManual);

    Set(Cmd(0x81C), kManual + 2200);  // much shorter than 1/30 s
    EXPECT_LT(Brightness(), base / 2);
    Set(Cmd(0x81C), kManual + 2040);  // longer
    EXPECT_GT(Brightness(), base + 40);
    Set(Cmd(0x81C), 0x8000'0000);  // off: 1/30 s
    EXPECT_NEAR(Brightness(), base, 1);

    Set(Cmd(0x818), kManual + 0);  // gamma ON(1) lifts the mid-tones
    EXPECT_GT(Brightness(), base + 15);
}

TEST_F(CameraPictureTest, WhiteBalanceAndSaturationWorkOnTheColours) {
    const auto base = RgbMeans();
    Set(Cmd(0x80C), kManual + 128 * 0x1000 + 255);  // R doubled, B kept
    auto m = RgbMeans();
    EXPECT_GT(m[0], base[0] + 40);
    EXPECT_NEAR(m[1], base[1], 1);
    EXPECT_NEAR(m[2], base[2], 1);
    Set(Cmd(0x80C), kManual + 0 * 0x1000 + 128);  // no blue at all
    EXPECT_LT(RgbMeans()[2], 2.0);
    Set(Cmd(0x80C), 0x8300'0000);  // automatic balance is neutral
    m = RgbMeans();
    EXPECT_NEAR(m[0], base[0], 1);
    EXPECT_NEAR(m[2], base[2], 1);

    Set(Cmd(0x814), kManual + 0);  // no saturation: grey everywhere
    const auto f = Frame();
    int spread = 0;
    for (std::size_t i = 6; i + 2 < f.size(); i += 3)
        spread = std::max({spread, std::abs(f[i] - f[i + 1]), std::abs(f[i + 1] - f[i + 2])});
    EXPECT_LE(spread, 1);
}

TEST_F(CameraPictureTest, NegativeInvertsAndColourBarsReplaceTheScene) {
    const auto base = RgbMeans();
    Set(Vendor(0xE0), kManual);
    const auto negative = RgbMeans();
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(negative[c], 255 - base[c], 1) << c;
    Set(Vendor(0xE0), 0x8000'0000);

    Set(Vendor(0xDC), kManual);
    const auto bars = RgbMeans();  // each channel lit at 75 % in four of eight bars
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(bars[c], 191.0 / 2, 1) << c;
    auto a = Frame(1), b = Frame(2);
    a[3] = b[3] = 0;
    EXPECT_EQ(a, b) << "bars stand still";
    Set(Cmd(0x800), kManual + 255);
    EXPECT_NEAR(RgbMeans()[0], 191.0 / 2, 1) << "bars bypass the picture settings";
}

TEST_F(CameraPictureTest, YuvAndMonoCodingsCarryTheSameAnswers) {
    SetMode(0, 3, 3);  // 640 x 480 YUV 4:2:2: U Y0 V Y1
    const double y = (Mean(Frame(), 1, 4) + Mean(Frame(), 3, 4)) / 2;
    Set(Vendor(0xE0), kManual);
    EXPECT_NEAR((Mean(Frame(), 1, 4) + Mean(Frame(), 3, 4)) / 2, 255 - y, 2);
    Set(Vendor(0xE0), 0x8000'0000);
    Set(Cmd(0x814), kManual + 0);
    EXPECT_NEAR(Mean(Frame(), 0, 4), 128, 1) << "grey has neutral U";
    EXPECT_NEAR(Mean(Frame(), 2, 4), 128, 1) << "and neutral V";
    Set(Cmd(0x814), kManual + 128);

    // Format 7 windows show their own part of the sensor: red rises from left to right.
    SetFormat7(4, 0, 320u << 16 | 240);
    const double leftRed = Mean(Frame(), 0, 3);
    SetFormat7(4, 1040u << 16 | 784, 320u << 16 | 240);
    EXPECT_GT(Mean(Frame(), 0, 3), leftRed + 100);

    SetFormat7(0, 0, 1360u << 16 | 1024);
    const double mono = Mean(Frame(), 0, 1);
    Set(Cmd(0x800), kManual + 128 + 32);
    EXPECT_NEAR(Mean(Frame(), 0, 1), mono + 32, 6);
}

}  // namespace
