// BMP still writer: 14-byte file header, 40-byte info header, then the bitmap unchanged.
#include "files/BmpWriter.h"

#include <array>
#include <limits>
#include <new>

#include "files/BitmapGeometry.h"
#include "files/CFileException.h"
#include "files/StagedFile.h"
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

bool Refuse(std::string* error, std::string text) {
    if (error) *error = std::move(text);
    return false;
}

}  // namespace

bool SaveBmpFile(const std::string& path, std::span<const std::uint8_t> bits, int width,
                 int height, std::string* error) {
    const std::uint64_t imageBytes = BitmapBytes(width, height);
    if (imageBytes == 0 || imageBytes > std::numeric_limits<std::uint32_t>::max() - kHeaderBytes) {
        return Refuse(error, "cannot save an image of " + std::to_string(width) + " x " +
                                 std::to_string(height) + " pixels");
    }
    if (bits.size() < imageBytes) return Refuse(error, "the bitmap is smaller than its size says");
    if (path.empty()) return Refuse(error, "no file name given");
    const auto header = BmpHeader(width, height, std::uint32_t(imageBytes));
    const std::array<iovec, 2> pieces{{
        {const_cast<std::uint8_t*>(header.data()), header.size()},
        {const_cast<std::uint8_t*>(bits.data()), std::size_t(imageBytes)},
    }};
    try {
        StagedFile file(path);
        file.Create();
        file.File().Write(0, pieces);
        file.Commit();
        return true;
    } catch (const CFileException& e) {
        return Refuse(error, e.what());
    } catch (const std::bad_alloc&) {
        return Refuse(error, "out of memory");
    }
}

}  // namespace files
