// BMP still writer: 14-byte file header, 40-byte info header, then the bitmap unchanged.
#include "files/BmpWriter.h"

#include <array>
#include <limits>

#include "files/BitmapGeometry.h"
#include "files/StillFile.h"
#include "platform/ByteOrder.h"

namespace files {

namespace {

constexpr std::uint32_t kHeaderBytes = 54;

std::array<std::uint8_t, kHeaderBytes> BmpHeader(int width, int height, std::uint32_t imageBytes) {
    using platform::StoreLE16;
    using platform::StoreLE32;
    std::array<std::uint8_t, kHeaderBytes> header{};
    header[0] = 'B';
    header[1] = 'M';
    StoreLE32(&header[2], imageBytes + kHeaderBytes);
    StoreLE32(&header[10], kHeaderBytes);
    StoreLE32(&header[14], 40);
    StoreLE32(&header[18], std::uint32_t(width));
    StoreLE32(&header[22], std::uint32_t(height));  // positive: rows stored bottom-up
    StoreLE16(&header[26], 1);
    StoreLE16(&header[28], 24);
    StoreLE32(&header[34], imageBytes);
    return header;  // compression, resolutions and colour counts stay 0
}

}  // namespace

bool SaveBmpFile(const std::string& path, std::span<const std::uint8_t> bits, int width, int height,
                 std::string* error) {
    // The file size field has 32 bits.
    const std::uint64_t maxImageBytes = std::numeric_limits<std::uint32_t>::max() - kHeaderBytes;
    std::string problem = StillInputProblem(path, bits, width, height, maxImageBytes);
    if (!problem.empty()) return StillFailure(error, std::move(problem));
    const std::uint64_t imageBytes = BitmapBytes(width, height);
    const auto header = BmpHeader(width, height, std::uint32_t(imageBytes));
    const std::array<iovec, 2> pieces{{
        {const_cast<std::uint8_t*>(header.data()), header.size()},
        {const_cast<std::uint8_t*>(bits.data()), std::size_t(imageBytes)},
    }};
    return WriteStill(path, error, [&](PosixFile& file) {
        file.Write(0, pieces);
        return std::string();
    });
}

}  // namespace files
