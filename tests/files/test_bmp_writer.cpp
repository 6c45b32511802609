// BMP still writer: header fields and row padding, refused sizes, replacing and failed writes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

// A link is written through and stays a link; the file it leads to keeps its mode (and, for
// root, its owner); what is no regular file, or a link to nothing, is refused and left alone.
TEST_F(BmpWriterTest, WritesThroughLinksKeepingTheFileAndRefusesWhatIsNoFile) {
    namespace fs = std::filesystem;
    const auto bits = filestest::MakeFrame(files::BitmapBytes(64, 48), 2);
    fs::create_directory(dir.Path() / "elsewhere");
    const fs::path real = dir.Path() / "elsewhere" / "real.bmp";
    std::ofstream(real) << "earlier";
    ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(real.c_str(), 1, 1), 0);
    }
    fs::create_symlink(real, path);
    ASSERT_TRUE(SaveBmpFile(path, bits, 64, 48));
    EXPECT_TRUE(fs::is_symlink(path));
    EXPECT_EQ(fs::file_size(real), 54 + files::BitmapBytes(64, 48));
    struct stat info {};
    ASSERT_EQ(::stat(real.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(info.st_uid, 1u);
    }
    EXPECT_EQ(filestest::EntriesIn(dir.Path() / "elsewhere"), 1u);

    const fs::path fifo = dir.Path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const fs::path dangling = dir.Path() / "dangling.bmp";
    fs::create_symlink(dir.Path() / "nothing", dangling);
    for (const auto& [target, why] : {std::pair{fifo, "is not a regular file"},
                                      {dangling, "is a symbolic link to a missing file"}}) {
        std::string error;
        EXPECT_FALSE(SaveBmpFile(target, bits, 64, 48, &error));
        EXPECT_EQ(error, target.string() + " " + why);
    }
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_TRUE(fs::is_symlink(dangling));
    EXPECT_FALSE(fs::exists(dir.Path() / "nothing"));

    // A name near the system's limit still gets a temporary file beside it.
    EXPECT_TRUE(SaveBmpFile(dir.Path() / (std::string(250, 'n') + ".bmp"), bits, 64, 48));
}

}  // namespace
