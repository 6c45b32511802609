// Geometry of the converted 24-bit bitmaps (blue-green-red, bottom row first): each row of
// 3 x width bytes is padded to a multiple of 4.
#pragma once

#include <cstdint>

namespace files {

// Widths and heights of IIDC images fit 16 bits; anything larger is a misread geometry.
inline constexpr int kMaxImageSide = 65535;

inline constexpr bool IsValidImageSize(int width, int height) {
    return width > 0 && height > 0 && width <= kMaxImageSide && height <= kMaxImageSide;
}

inline constexpr std::uint32_t BitmapStride(int width) {
    return (3 * std::uint32_t(width) + 3) & ~std::uint32_t(3);
}

// Bytes of a width x height bitmap; 0 for a size that holds no picture.
inline constexpr std::uint64_t BitmapBytes(int width, int height) {
    return IsValidImageSize(width, height)
               ? std::uint64_t(BitmapStride(width)) * std::uint32_t(height)
               : 0;
}

}  // namespace files
