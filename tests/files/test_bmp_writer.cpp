// BMP still writer: header fields, row padding, refused sizes and failed writes.
#include <gtest/gtest.h>

#include "files/BitmapGeometry.h"
#include "files/BmpWriter.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

using files::BitmapBytes;
using files::SaveBmpFile;
using platform::LoadLE16;
using platform::LoadLE32;

std::vector<std::uint8_t> MakeBitmap(int width, int height) {
    return filestest::MakeFrame(std::size_t(BitmapBytes(width, height)), 1);
}

class BmpWriterTest : public ::testing::Test {
protected:
    testsupport::TempDir dir{"kestrix-bmp"};
    std::filesystem::path path = dir.Path() / "still.bmp";
};

TEST_F(BmpWriterTest, Writes640x480WithHeaderFieldsAndPixelsUnchanged) {
    const auto bitmap = MakeBitmap(640, 480);
    ASSERT_TRUE(SaveBmpFile(path, bitmap, 640, 480));

    const auto file = filestest::ReadAll(path);
    ASSERT_EQ(file.size(), 921654u);
    const std::uint8_t* h = file.data();
    EXPECT_EQ(LoadLE16(h), 0x4D42);
    EXPECT_EQ(LoadLE32(h + 2), 921654u);
    EXPECT_EQ(LoadLE32(h + 6), 0u);  // both reserved words
    EXPECT_EQ(LoadLE32(h + 10), 54u);
    EXPECT_EQ(LoadLE32(h + 14), 40u);
    EXPECT_EQ(LoadLE32(h + 18), 640u);
    EXPECT_EQ(LoadLE32(h + 22), 480u);
    EXPECT_EQ(LoadLE16(h + 26), 1);
    EXPECT_EQ(LoadLE16(h + 28), 24);
    EXPECT_EQ(LoadLE32(h + 30), 0u);
    EXPECT_EQ(LoadLE32(h + 34), 921600u);
    for (int offset = 38; offset < 54; offset += 4) EXPECT_EQ(LoadLE32(h + offset), 0u) << offset;
    EXPECT_TRUE(std::equal(bitmap.begin(), bitmap.end(), file.begin() + 54));
    EXPECT_EQ(filestest::EntriesIn(dir.Path()), 1u);  // nothing left beside it
}

TEST_F(BmpWriterTest, PadsRowsToFourBytes) {
    struct Case {
        int width, height;
        std::uint32_t stride;
    };
    for (const Case c : {Case{1, 3, 4}, Case{5, 2, 16}, Case{4, 2, 12}, Case{1360, 1, 4080}}) {
        const auto bitmap = MakeBitmap(c.width, c.height);
        ASSERT_EQ(bitmap.size(), std::size_t(c.stride) * c.height);
        ASSERT_TRUE(SaveBmpFile(path, bitmap, c.width, c.height)) << c.width;
        const auto file = filestest::ReadAll(path);
        ASSERT_EQ(file.size(), 54 + bitmap.size()) << c.width;
        EXPECT_EQ(LoadLE32(&file[2]), file.size());
        EXPECT_EQ(LoadLE32(&file[34]), bitmap.size());
        // Padding bytes go out as the conversion left them.
        EXPECT_TRUE(std::equal(bitmap.begin(), bitmap.end(), file.begin() + 54)) << c.width;
    }
}

TEST_F(BmpWriterTest, RefusesSizesWithoutPictureBeforeTouchingTheDisk) {
    const std::vector<std::uint8_t> bits(64);
    std::string error;
    for (const auto& [width, height] :
         {std::pair{0, 480}, {640, 0}, {-4, 4}, {4, -4}, {70000, 1}}) {
        error.clear();
        EXPECT_FALSE(SaveBmpFile(path, bits, width, height, &error)) << width << "x" << height;
        EXPECT_NE(error.find("pixels"), std::string::npos) << error;
    }
    // 40000 x 40000 is a real geometry, but its file size does not fit the header.
    EXPECT_FALSE(SaveBmpFile(path, bits, 40000, 40000, &error));
    EXPECT_FALSE(SaveBmpFile(path, bits, 8, 8, &error));  // the buffer is too short for 8 x 8
    EXPECT_EQ(filestest::EntriesIn(dir.Path()), 0u);
}

TEST_F(BmpWriterTest, ReplacesAnExistingFile) {
    std::ofstream(path) << std::string(5000000, 'x');
    const auto bitmap = MakeBitmap(7, 3);
    ASSERT_TRUE(SaveBmpFile(path, bitmap, 7, 3));
    EXPECT_EQ(std::filesystem::file_size(path), 54 + bitmap.size());
    EXPECT_EQ(filestest::EntriesIn(dir.Path()), 1u);
}

TEST_F(BmpWriterTest, FailedWriteKeepsTheEarlierFileAndLeavesNothingElse) {
    std::ofstream(path) << "earlier";
    const auto bitmap = MakeBitmap(640, 480);
    // The file-size limit makes the write fail part-way, as a full disk would.
    const int status = filestest::RunInChild(
        [&] {
            std::string error;
            const bool saved = SaveBmpFile(path, bitmap, 640, 480, &error);
            return !saved && error.find(path.string()) == 0 ? 0 : 1;
        },
        100000);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(filestest::ReadAll(path),
              (std::vector<std::uint8_t>{'e', 'a', 'r', 'l', 'i', 'e', 'r'}));
    EXPECT_EQ(filestest::EntriesIn(dir.Path()), 1u);

    std::string error;
    EXPECT_FALSE(SaveBmpFile(dir.Path() / "missing" / "x.bmp", bitmap, 640, 480, &error));
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
}

}  // namespace
