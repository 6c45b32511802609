// Names and register values of the colour-filter patterns.
#include "camera/BayerPattern.h"

#include <array>

namespace {

constexpr std::array<const char*, 5> kNames{"none", "rggb", "gbrg", "grbg", "bggr"};

}  // namespace

const char* BayerPatternName(BayerPattern pattern) {
    const auto index = std::size_t(pattern);
    return index < kNames.size() ? kNames[index] : "none";
}

std::optional<BayerPattern> BayerPatternNamed(std::string_view name) {
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        if (name == kNames[i]) return BayerPattern(i);
    }
    return std::nullopt;
}

BayerPattern BayerPatternFromFilterId(std::uint32_t value) {
    const std::uint32_t id = value >> 24;
    return id <= 3 ? BayerPattern(id + 1) : BayerPattern::None;
}
