// Writes a converted 24-bit bitmap as a baseline (or progressive) JPEG file.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace files {

// bits as for SaveBmpFile (rows bottom first, padded to BitmapStride(width)); the file holds
// the picture upright. quality goes to libjpeg as given, which clamps it to 1..100; grayscale
// writes one component. As with SaveBmpFile, the file appears only once whole, and a failure
// leaves no file or the earlier one untouched.
bool SaveJpegFile(const std::string& path, std::span<const std::uint8_t> bits, int width,
                  int height, int quality, bool progressive, bool grayscale,
                  std::string* error = nullptr);

}  // namespace files
