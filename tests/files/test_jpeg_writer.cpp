// JPEG still writer: the file decodes (ffmpeg) to the bitmap's picture, upright; options,
// refused input, library errors and failed writes.
#include <gtest/gtest.h>

#include "files/BitmapGeometry.h"
#include "files/JpegWriter.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

using files::BitmapStride;
using files::SaveJpegFile;

// A smooth picture, bottom row first in blue-green-red: red grows to the right and green
// downwards in the upright picture, blue stays 128.
std::vector<std::uint8_t> MakePicture(int width, int height) {
    std::vector<std::uint8_t> bits(files::BitmapBytes(width, height), 0xEE);
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
    const int width = 101, height = 60;  // rows with padding that must stay out of the picture
    const auto bits = MakePicture(width, height);
    ASSERT_TRUE(SaveJpegFile(path, bits, width, height, 100, false, false));
    auto stream = filestest::ProbeStream(path);
    EXPECT_EQ(stream["width"] + "x" + stream["height"], "101x60");
    EXPECT_EQ(stream["profile"], "Baseline");

    // ffmpeg decodes to RGB rows, top first.
    int worst = 0;
    const std::size_t decoded = filestest::ForEachFrame(
        path, std::size_t(width) * height * 3,
        [&](auto rgb) {
            for (int y = 0; y < height; ++y) {
                const std::uint8_t* bgr =
                    &bits[std::size_t(BitmapStride(width)) * (height - 1 - y)];
                for (int i = 0; i < 3 * width; ++i) {
                    worst = std::max(worst,
                                     std::abs(rgb[y * 3 * width + i] - bgr[i - i % 3 + 2 - i % 3]));
                }
            }
        },
        "-f rawvideo -pix_fmt rgb24");
    EXPECT_EQ(decoded, 1u);
    EXPECT_LE(worst, 6);
    EXPECT_EQ(filestest::EntriesIn(dir.Path()), 1u);

    ASSERT_TRUE(SaveJpegFile(path, bits, width, height, 75, true, true));
    stream = filestest::ProbeStream(path);
    EXPECT_EQ(stream["pix_fmt"] + " " + stream["profile"], "gray Progressive");
}

TEST_F(JpegWriterTest, RefusesBadInputAndSurvivesLibraryErrors) {
    const std::vector<std::uint8_t> bits(3 * 65536);
    EXPECT_FALSE(SaveJpegFile(path, bits, 0, 480, 100, false, false));
    EXPECT_FALSE(SaveJpegFile(path, bits, 640, 480, 100, false, false));  // buffer too short
    // Wider than JPEG allows: libjpeg's fatal error becomes a failure carrying its text.
    std::string error;
    EXPECT_FALSE(SaveJpegFile(path, bits, 65535, 1, 100, false, false, &error));
    EXPECT_NE(error.find("65500"), std::string::npos) << error;
    EXPECT_EQ(filestest::EntriesIn(dir.Path()), 0u);
    EXPECT_TRUE(SaveJpegFile(path, bits, 8, 8, 90, false, false));
}

TEST_F(JpegWriterTest, AFailedWriteKeepsTheEarlierFile) {
    std::ofstream(path) << "earlier";
    std::vector<std::uint8_t> noise(files::BitmapBytes(640, 480));  // compresses badly
    std::uint32_t seed = 1;
    for (auto& byte : noise) byte = std::uint8_t((seed = seed * 1103515245 + 12345) >> 16);
    const int status = filestest::RunInChild(
        [&] { return SaveJpegFile(path, noise, 640, 480, 100, false, false) ? 1 : 0; }, 50000);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::filesystem::file_size(path), 7u);
    EXPECT_EQ(filestest::EntriesIn(dir.Path()), 1u);
}

}  // namespace
