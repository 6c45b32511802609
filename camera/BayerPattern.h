// The colour filter over a raw (RAW8) sensor: which colour each pixel of the top-left 2 x 2
// quad sees, as the camera's Format 7 COLOR_FILTER_ID register names it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

enum class BayerPattern : std::uint8_t {
    None,  // unknown: the camera has no colour-filter register, or names no pattern
    Rggb,  // top row red, green; second row green, blue
    Gbrg,
    Grbg,
    Bggr,
};

// "rggb", "gbrg", "grbg", "bggr", or "none".
const char* BayerPatternName(BayerPattern pattern);
// The pattern of that name, None included; nothing for any other text.
std::optional<BayerPattern> BayerPatternNamed(std::string_view name);
// From a COLOR_FILTER_ID register value: its top byte 0..3 names RGGB, GBRG, GRBG, BGGR;
// any other value names none.
BayerPattern BayerPatternFromFilterId(std::uint32_t value);
