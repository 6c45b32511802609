// BMP still writer: header fields and row padding, refused sizes, replacing and failed writes.
#include <gtest/gtest.h>

#include "files/BitmapGeometry.h"
#include "files/BmpWriter.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

using files::SaveBmpFile;
using platform::LoadLE16;
using platform::LoadLE32;

class BmpWriterTest : public ::testing::Test {
protected:
    testsupport::TempDir dir{"kestrix-bmp"};
    std::filesystem::path path = dir.Path() / "still.bmp";
};

TEST_F(BmpWriterTest, HeaderFieldsAndPaddedRows) {
    struct Case {
        int width, height;
        std::uint32_t stride;
    };
    // 640 x 480: 1920-byte rows, image 921600, file 921654. One pixel: 4-byte rows.
    for (const Case c : {Case{640, 480, 1920}, {1, 3, 4}, {5, 2, 16}}) {
        const auto bits = filestest::MakeFrame(files::BitmapBytes(c.width, c.height), 1);
        ASSERT_EQ(bits.size(), std::size_t(c.stride) * c.height);
        ASSERT_TRUE(SaveBmpFile(path, bits, c.width, c.height));
        const auto file = filestest::ReadAll(path);
        ASSERT_EQ(file.size(), 54 + bits.size());
        const std::uint8_t* h = file.data();
        EXPECT_EQ(filestest::Text4(h).substr(0, 2), "BM");
        EXPECT_EQ(LoadLE32(h + 2), file.size());
        EXPECT_EQ(LoadLE32(h + 6), 0u);
        EXPECT_EQ(LoadLE32(h + 10), 54u);
        EXPECT_EQ(LoadLE32(h + 14), 40u);
        EXPECT_EQ(LoadLE32(h + 18), std::uint32_t(c.width));
        EXPECT_EQ(LoadLE32(h + 22), std::uint32_t(c.height));
        EXPECT_EQ(LoadLE16(h + 26), 1);
        EXPECT_EQ(LoadLE16(h + 28), 24);
        EXPECT_EQ(LoadLE32(h + 30), 0u);
        EXPECT_EQ(LoadLE32(h + 34), bits.size());
        for (int at = 38; at < 54; at += 4) EXPECT_EQ(LoadLE32(h + at), 0u);
        EXPECT_TRUE(std::equal(bits.begin(), bits.end(), file.begin() + 54));  // padding too
    }
    EXPECT_EQ(filestest::EntriesIn(dir.Path()), 1u);
}

TEST_F(BmpWriterTest, RefusesSizesWithoutPictureBeforeTouchingTheDisk) {
    const std::vector<std::uint8_t> bits(64);
    for (const auto& [width, height] : {std::pair{0, 480}, {640, 0}, {-4, 4}, {70000, 1}}) {
        std::string error;
        EXPECT_FALSE(SaveBmpFile(path, bits, width, height, &error));
        EXPECT_NE(error.find("pixels"), std::string::npos) << error;
    }
    EXPECT_FALSE(SaveBmpFile(path, bits, 40000, 40000));  // too big for the header's 32 bits
    EXPECT_FALSE(SaveBmpFile(path, bits, 8, 8));          // buffer shorter than 8 x 8
    EXPECT_EQ(filestest::EntriesIn(dir.Path()), 0u);
}

TEST_F(BmpWriterTest, ReplacesOnSuccessAndKeepsTheEarlierFileOnFailure) {
    std::ofstream(path) << "earlier";
    const auto bits = filestest::MakeFrame(files::BitmapBytes(640, 480), 2);
    // A file-size limit fails the write part-way, as a full disk would.
    const int status = filestest::RunInChild(
        [&] {
            std::string error;
            return !SaveBmpFile(path, bits, 640, 480, &error) && error.find(path.string()) == 0 ? 0
                                                                                                : 1;
        },
        100000);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::filesystem::file_size(path), 7u);
    EXPECT_EQ(filestest::EntriesIn(dir.Path()), 1u);  // no temporary file left

    ASSERT_TRUE(SaveBmpFile(path, bits, 640, 480));
    EXPECT_EQ(std::filesystem::file_size(path), 921654u);
    EXPECT_EQ(filestest::EntriesIn(dir.Path()), 1u);

    std::string error;
    EXPECT_FALSE(SaveBmpFile(dir.Path() / "missing" / "x.bmp", bits, 640, 480, &error));
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
}

}  // namespace
