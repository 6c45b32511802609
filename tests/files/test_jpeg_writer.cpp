// JPEG still writer: the file decodes (with libjpeg) to the bitmap's picture, upright; options,
// refused input and failed writes.
#include <gtest/gtest.h>
#include <jpeglib.h>

#include <cstdio>
#include <cstdlib>

#include "files/BitmapGeometry.h"
#include "files/JpegWriter.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

using files::BitmapBytes;
using files::BitmapStride;
using files::SaveJpegFile;

struct Decoded {
    int width = 0, height = 0, components = 0;
    bool progressive = false;
    std::vector<std::uint8_t> pixels;  // top row first
};

Decoded Decode(const std::filesystem::path& path) {
    Decoded out;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return out;
    jpeg_decompress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    out.progressive = jpeg_has_multiple_scans(&info);
    jpeg_start_decompress(&info);
    out.width = int(info.output_width);
    out.height = int(info.output_height);
    out.components = info.output_components;
    out.pixels.resize(std::size_t(out.width) * out.height * out.components);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = &out.pixels[std::size_t(info.output_scanline) * out.width * out.components];
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    std::fclose(file);
    return out;
}

// A smooth picture (JPEG keeps it closely): red grows to the right, green downwards in the
// upright picture; the bitmap stores it bottom row first, blue-green-red.
std::vector<std::uint8_t> MakePicture(int width, int height) {
    std::vector<std::uint8_t> bits(std::size_t(BitmapBytes(width, height)), 0xEE);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = &bits[std::size_t(BitmapStride(width)) * (height - 1 - y)];
        for (int x = 0; x < width; ++x) {
            row[3 * x] = 128;
            row[3 * x + 1] = std::uint8_t(255 * y / height);
            row[3 * x + 2] = std::uint8_t(255 * x / width);
        }
    }
    return bits;
}

class JpegWriterTest : public ::testing::Test {
protected:
    testsupport::TempDir dir{"kestrix-jpeg"};
    std::filesystem::path path = dir.Path() / "still.jpg";
};

TEST_F(JpegWriterTest, DecodesToTheBitmapPictureUpright) {
    // 101 pixels: rows carry padding bytes that must not leak into the picture.
    const int width = 101, height = 60;
    const auto bits = MakePicture(width, height);
    ASSERT_TRUE(SaveJpegFile(path, bits, width, height, 100, false, false));

    const Decoded jpeg = Decode(path);
    ASSERT_EQ(jpeg.width, width);
    ASSERT_EQ(jpeg.height, height);
    ASSERT_EQ(jpeg.components, 3);
    EXPECT_FALSE(jpeg.progressive);
    int worst = 0;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* source = &bits[std::size_t(BitmapStride(width)) * (height - 1 - y)];
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* rgb = &jpeg.pixels[(std::size_t(y) * width + x) * 3];
            for (int c = 0; c < 3; ++c)
                worst = std::max(worst, std::abs(rgb[c] - source[3 * x + 2 - c]));
        }
    }
    EXPECT_LE(worst, 6);
    EXPECT_EQ(filestest::EntriesIn(dir.Path()), 1u);
}

TEST_F(JpegWriterTest, GrayscaleAndProgressiveOnRequest) {
    const auto bits = MakePicture(64, 48);
    ASSERT_TRUE(SaveJpegFile(path, bits, 64, 48, 75, true, true));
    const Decoded jpeg = Decode(path);
    EXPECT_EQ(jpeg.components, 1);
    EXPECT_TRUE(jpeg.progressive);
    EXPECT_EQ(jpeg.width, 64);
}

TEST_F(JpegWriterTest, RefusesBadInputAndSurvivesLibraryErrors) {
    const std::vector<std::uint8_t> bits(3 * 70004);
    std::string error;
    EXPECT_FALSE(SaveJpegFile(path, bits, 0, 480, 100, false, false, &error));
    EXPECT_FALSE(SaveJpegFile(path, bits, 640, 0, 100, false, false, &error));
    EXPECT_FALSE(SaveJpegFile(path, bits, 4, 4, 0, false, false, &error));
    EXPECT_FALSE(SaveJpegFile(path, bits, 4, 4, 101, false, false, &error));
    EXPECT_FALSE(SaveJpegFile(path, bits, 640, 480, 100, false, false, &error));  // buffer short
    EXPECT_EQ(filestest::EntriesIn(dir.Path()), 0u);

    // Wider than a JPEG can be: libjpeg's fatal error comes back as a failure with its text.
    error.clear();
    EXPECT_FALSE(SaveJpegFile(path, bits, 65535, 1, 100, false, false, &error));
    EXPECT_NE(error.find("65500"), std::string::npos) << error;
    EXPECT_EQ(filestest::EntriesIn(dir.Path()), 0u);
    // and the writer works on afterwards
    EXPECT_TRUE(SaveJpegFile(path, bits, 8, 8, 90, false, false));
}

TEST_F(JpegWriterTest, FailedWriteKeepsTheEarlierFileAndLeavesNothingElse) {
    std::ofstream(path) << "earlier";
    // Noise compresses badly, so the file outgrows the limit.
    std::vector<std::uint8_t> bits(std::size_t(BitmapBytes(640, 480)));
    std::uint32_t seed = 1;
    for (auto& byte : bits) byte = std::uint8_t((seed = seed * 1103515245 + 12345) >> 16);
    const int status = filestest::RunInChild(
        [&] {
            std::string error;
            const bool saved = SaveJpegFile(path, bits, 640, 480, 100, false, false, &error);
            return !saved && !error.empty() ? 0 : 1;
        },
        50000);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(filestest::ReadAll(path).size(), 7u);
    EXPECT_EQ(filestest::EntriesIn(dir.Path()), 1u);
}

}  // namespace
