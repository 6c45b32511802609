// Writes a converted 24-bit bitmap as an uncompressed BMP file.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace files {

// bits holds BitmapBytes(width, height) bytes as the frame conversion leaves them: rows bottom
// first, each padded to BitmapStride(width). The file appears only once it is whole: on any
// failure the result is false, error (when given) says why, and no file or an untouched earlier
// file stays at path. A size of 0, or one the format cannot hold, fails before anything is
// touched.
bool SaveBmpFile(const std::string& path, std::span<const std::uint8_t> bits, int width, int height,
                 std::string* error = nullptr);

}  // namespace files
