// Recordings as ffprobe and ffmpeg read them: stream facts, raw frames back byte for byte with
// consecutive counters, converted frames decoded to exactly the pixels written.
#include <gtest/gtest.h>

#include "files/BitmapGeometry.h"
#include "files/CDcamAviFile.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

using files::CDcamAviFile;

class AviPlaybackTest : public ::testing::Test {
protected:
    testsupport::TempDir dir{"kestrix-avi-play"};
    std::filesystem::path path = dir.Path() / "movie.avi";

    // Records frames 0..4 of the test pattern; returns the frame size.
    std::size_t Record(int coding, int width, int height, bool convert) {
        CDcamAviFile avi;
        EXPECT_TRUE(avi.Open(path) && avi.SetFormat(coding, width, height, 33333, convert));
        for (std::uint32_t i = 0; i < 5; ++i) {
            EXPECT_EQ(avi.WriteFrame(filestest::MakeFrame(avi.GetFrameBytes(), i)),
                      CDcamAviFile::WriteResult::Written);
        }
        EXPECT_TRUE(avi.Finish());
        return avi.GetFrameBytes();
    }
};

TEST_F(AviPlaybackTest, RawRecordingsReadBackFrameForFrame) {
    struct Case {
        int coding, width, height;
        const char* tag;
    };
    for (const Case c : {Case{2, 640, 480, "dcy2"},
                         {4, 1024, 768, "dcr1"},
                         {1, 640, 480, "dcy1"},
                         {0, 3, 3, "dcm1"}}) {
        SCOPED_TRACE(c.tag);
        const std::size_t bytes = Record(c.coding, c.width, c.height, false);
        auto stream = filestest::ProbeStream(path);
        EXPECT_EQ(stream["codec_tag_string"], c.tag);
        EXPECT_EQ(stream["width"] + "x" + stream["height"],
                  std::to_string(c.width) + "x" + std::to_string(c.height));
        EXPECT_EQ(stream["nb_read_packets"], "5");
        EXPECT_EQ(stream["r_frame_rate"], "30/1");
        std::uint32_t next = 0;
        filestest::ForEachFrame(path, bytes, [&](auto frame) {
            EXPECT_TRUE(std::ranges::equal(frame, filestest::MakeFrame(bytes, next++)));
        });
        EXPECT_EQ(next, 5u);
    }
}

TEST_F(AviPlaybackTest, ConvertedRecordingsDecodeToTheWrittenPixels) {
    // 10 pixels make 30-byte rows padded to 32.
    for (const auto& [width, height] : {std::pair{10, 6}, {640, 480}}) {
        const std::size_t bytes = Record(4, width, height, true);
        ASSERT_EQ(bytes, files::BitmapBytes(width, height));
        auto stream = filestest::ProbeStream(path);
        EXPECT_EQ(stream["codec_name"] + " " + stream["codec_tag_string"], "rawvideo [0][0][0][0]");
        EXPECT_EQ(stream["nb_read_frames"], "5");
        // Decoded rows come top first and unpadded: the bitmap's rows in reverse order.
        const std::size_t row = 3 * std::size_t(width), stride = files::BitmapStride(width);
        std::uint32_t next = 0;
        const auto decoded = filestest::ForEachFrame(
            path, row * height,
            [&](auto picture) {
                const auto bitmap = filestest::MakeFrame(bytes, next++);
                for (int y = 0; y < height; ++y) {
                    const auto source = bitmap.begin() + stride * (height - 1 - y);
                    EXPECT_TRUE(std::equal(source, source + row, picture.begin() + row * y));
                }
            },
            "-f rawvideo -pix_fmt bgr24");
        EXPECT_EQ(decoded, 5u) << width;
    }
}

}  // namespace
