// A raw sensor's colour filter as the camera library reads it: the RAW8 Format 7 mode is listed
// with the pattern of the mode's colour-filter register, or with none when the camera lacks that
// register, and is set up like any other coding.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "camera/CameraModes.h"
#include "tests/camera/CameraTestSupport.h"

namespace {

using namespace cameratest;

struct Sensor {
    const char* bayer;  // kestrix-busd --bayer
    BayerPattern expected;
};

testsupport::SimulatedBus::Options WithBayer(const char* bayer) {
    testsupport::SimulatedBus::Options options = BusOptions(1, RateScale(1));
    options.extraArguments = {"--bayer", bayer};
    return options;
}

class BayerFilter : public CameraTest, public ::testing::WithParamInterface<Sensor> {
protected:
    BayerFilter() : CameraTest(WithBayer(GetParam().bayer)) {}
};

TEST_P(BayerFilter, TheRaw8ModeCarriesThePatternTheRegisterNames) {
    if (testsupport::SimulatedBus::OverFakeKernel()) GTEST_SKIP() << "the fake's camera is mono";
    const auto mode = CameraModes::Find(m_cam, 0, "1360x1024-raw8");
    ASSERT_TRUE(mode.has_value());
    EXPECT_EQ(mode->colorCoding, FrameConverter::Raw8);
    EXPECT_EQ(mode->bayer, GetParam().expected);
    // Only the raw mode has a filter to name.
    for (const CameraModes::Mode& other : CameraModes::Read(m_cam, 0)) {
        if (other.name != mode->name) {
            EXPECT_EQ(other.bayer, BayerPattern::None) << other.name;
        }
    }

    ASSERT_TRUE(SetFullSensor(FrameConverter::Raw8));
    EXPECT_EQ(m_cam.GetColorCoding(0), FrameConverter::Raw8);
    EXPECT_EQ(m_cam.GetFrameBytes(0), 1360 * 1024);
    EXPECT_EQ(m_cam.GetBayerPattern(0), GetParam().expected);
    ASSERT_TRUE(SetFullSensor(FrameConverter::Mono8));
    EXPECT_EQ(m_cam.GetBayerPattern(0), BayerPattern::None) << "mono 8 is no mosaic";
}

INSTANTIATE_TEST_SUITE_P(Sensors, BayerFilter,
                         ::testing::Values(Sensor{"rggb", BayerPattern::Rggb},
                                           Sensor{"bggr", BayerPattern::Bggr},
                                           Sensor{"unlisted", BayerPattern::None}),
                         [](const auto& param) { return std::string(param.param.bayer); });

TEST(BayerPatternFromFilterId, TheTopByteNamesThePattern) {
    EXPECT_EQ(BayerPatternFromFilterId(0x0000'0000), BayerPattern::Rggb);
    EXPECT_EQ(BayerPatternFromFilterId(0x01FF'FFFF), BayerPattern::Gbrg);
    EXPECT_EQ(BayerPatternFromFilterId(0x0200'0000), BayerPattern::Grbg);
    EXPECT_EQ(BayerPatternFromFilterId(0x0300'0000), BayerPattern::Bggr);
    EXPECT_EQ(BayerPatternFromFilterId(0x0400'0000), BayerPattern::None);
    EXPECT_EQ(BayerPatternFromFilterId(0xFF00'0000), BayerPattern::None);
}

class MonochromeCamera : public CameraTest {};

TEST_F(MonochromeCamera, OffersNoRaw8AndRefusesIt) {
    const auto modes = CameraModes::Read(m_cam, 0);
    EXPECT_TRUE(std::none_of(modes.begin(), modes.end(), [](const CameraModes::Mode& m) {
        return m.colorCoding == FrameConverter::Raw8;
    }));
    EXPECT_FALSE(SetFullSensor(FrameConverter::Raw8));
    EXPECT_FALSE(SetFullSensor(8)) << "a signed 16-bit coding is never set";
}

}  // namespace
