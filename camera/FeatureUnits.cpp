// Units by feature number, printing and parsing.
#include "camera/FeatureUnits.h"

#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

// Index = feature number; 17 is frame rate.
constexpr std::array<const char*, 18> kUnits{"%", "EV", "",  "K", "deg", "%",   "",    "s", "dB",
                                             "F", "m",  "K", "",  "x",   "deg", "deg", "",  "fps"};
constexpr int kShutter = 7;

struct Scaled {
    const char* name;
    double factor;
};
// Shutter values also come in ms and us.
constexpr std::array<Scaled, 3> kTimes{{{"s", 1}, {"ms", 1e-3}, {"us", 1e-6}}};

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

std::string Fixed(double value, int decimals, const char* unit) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f %s", decimals, value, unit);
    return text;
}

// Decimals that give about four significant digits, at least one.
int Decimals(double value) {
    const double magnitude = std::abs(value);
    if (magnitude >= 1000) return 0;
    if (magnitude >= 100) return 1;
    if (magnitude >= 10) return 2;
    return 3;
}

}  // namespace

const char* FeatureUnits::Unit(int feature) {
    return feature >= 0 && feature < int(kUnits.size()) ? kUnits[std::size_t(feature)] : "";
}

std::string FeatureUnits::Format(int feature, double value) {
    const char* unit = Unit(feature);
    if (feature == kShutter) {
        for (const Scaled& scale : kTimes) {
            if (std::abs(value) >= scale.factor || scale.factor == kTimes.back().factor) {
                const double scaled = value / scale.factor;
                return Fixed(scaled, Decimals(scaled), scale.name);
            }
        }
    }
    if (std::string_view(unit) == "dB") return Fixed(value, 1, unit);
    if (std::string_view(unit) == "K") return Fixed(value, value >= 1000 ? 0 : 2, unit);
    return Fixed(value, Decimals(value), unit);
}

std::optional<double> FeatureUnits::Parse(int feature, std::string_view text) {
    const std::string_view unit = Unit(feature);
    if (unit.empty() || text.empty()) return {};
    const std::string number(text);
    char* end = nullptr;
    const double value = std::strtod(number.c_str(), &end);
    if (end == number.c_str() || !std::isfinite(value)) return {};
    std::string_view suffix = text.substr(std::size_t(end - number.c_str()));
    if (!suffix.empty() && suffix.front() == ' ') suffix.remove_prefix(1);
    if (feature == kShutter) {
        for (const Scaled& scale : kTimes) {
            if (SameText(suffix, scale.name)) return value * scale.factor;
        }
        return {};
    }
    if (SameText(suffix, unit)) return value;
    return {};
}

std::string FeatureUnits::Accepted(int feature) {
    if (feature == kShutter) return "s, ms or us";
    return Unit(feature);
}
