// Feature values in real units as people write them and as they are printed.
#include <gtest/gtest.h>

#include "camera/FeatureUnits.h"

namespace {

constexpr int kBrightness = 0, kWhiteBalance = 3, kHue = 4, kShutter = 7, kGain = 8;
constexpr int kFrameRate = 17;

TEST(FeatureUnits, PrintAboutFourDigitsInTheNaturalUnit) {
    EXPECT_EQ(FeatureUnits::Format(kShutter, 1 / 30.0), "33.33 ms");
    EXPECT_EQ(FeatureUnits::Format(kShutter, 0.01024), "10.24 ms");
    EXPECT_EQ(FeatureUnits::Format(kShutter, 1.0012e-5), "10.01 us");
    EXPECT_EQ(FeatureUnits::Format(kShutter, 4.0), "4.000 s");
    EXPECT_EQ(FeatureUnits::Format(kGain, 6.0206), "6.0 dB");
    EXPECT_EQ(FeatureUnits::Format(kWhiteBalance, 6500), "6500 K");
    EXPECT_EQ(FeatureUnits::Format(kFrameRate, 7.843), "7.843 fps");
    EXPECT_EQ(FeatureUnits::Format(kBrightness, 50.2), "50.20 %");
}

TEST(FeatureUnits, ReadAValueOnlyWithAUnitOfItsFeature) {
    for (const auto& [text, seconds] : {std::pair{"10ms", 0.010}, std::pair{"250 us", 250e-6},
                                        std::pair{"0.5S", 0.5}, std::pair{"1e-3s", 0.001}}) {
        const auto value = FeatureUnits::Parse(kShutter, text);
        ASSERT_TRUE(value) << text;
        EXPECT_DOUBLE_EQ(*value, seconds) << text;
    }
    EXPECT_EQ(FeatureUnits::Parse(kGain, "6dB"), 6.0);
    EXPECT_EQ(FeatureUnits::Parse(kGain, "-3 db"), -3.0);
    EXPECT_EQ(FeatureUnits::Parse(kWhiteBalance, "5000K"), 5000.0);
    // A bare number is a raw value; other units, blanks and words are not values.
    for (const char* text : {"10", "10 ms ", "10  ms", "10kg", "ms", "nan ms", "inf s", "6dB"}) {
        EXPECT_FALSE(FeatureUnits::Parse(kShutter, text)) << text;
    }
    EXPECT_FALSE(FeatureUnits::Parse(kHue + 2, "1deg")) << "gamma has no unit";
    EXPECT_EQ(FeatureUnits::Accepted(kShutter), "s, ms or us");
}

}  // namespace
