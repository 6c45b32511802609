// The real units of the standard features' absolute values: which unit each feature's value
// is in, how a value prints (shutter in us, ms or s, gain in dB, ...), and how a value given
// with its unit is read ("10ms", "250 us", "6dB", "5000K").
#pragma once

#include <optional>
#include <string>
#include <string_view>

class FeatureUnits {
public:
    // The unit of feature 0..17 (17: frame rate) as the camera gives values in it: "%", "EV",
    // "K", "deg", "s", "dB", "F", "m", "fps", "x", or "" for a feature without one.
    static const char* Unit(int feature);
    // value with its unit, to about four significant digits: "33.33 ms", "6.0 dB".
    static std::string Format(int feature, double value);
    // A value followed by a unit the feature's values can be given in (shutter: s, ms, us;
    // case does not matter, a blank may stand between), in the feature's unit. Empty for
    // anything else, a bare number included: that is a raw value.
    static std::optional<double> Parse(int feature, std::string_view text);
    // The units Parse takes for feature, for messages ("s, ms or us"); empty without one.
    static std::string Accepted(int feature);
};
