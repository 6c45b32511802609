// Recordings as ffprobe and ffmpeg read them: stream facts, raw frames packet for packet, and
// converted frames decoded to exactly the pixels written.
#include <gtest/gtest.h>

#include "files/BitmapGeometry.h"
#include "files/CDcamAviFile.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

using files::CDcamAviFile;
using Result = CDcamAviFile::WriteResult;

class AviPlaybackTest : public ::testing::Test {
protected:
    testsupport::TempDir dir{"kestrix-avi-play"};
    std::filesystem::path path = dir.Path() / "movie.avi";

    // Records frames 0..count-1 of the test pattern and finishes the file.
    std::uint32_t Record(int coding, int width, int height, std::uint32_t count, bool convert) {
        CDcamAviFile avi;
        EXPECT_TRUE(avi.Open(path));
        EXPECT_TRUE(avi.SetFormat(coding, width, height, 33333, convert));
        std::vector<std::uint8_t> frame(avi.GetFrameBytes());
        for (std::uint32_t i = 0; i < count; ++i) {
            filestest::FillFrame(frame, i);
            EXPECT_EQ(avi.WriteFrame(frame), Result::Written);
        }
        EXPECT_TRUE(avi.Finish()) << avi.GetErrorText();
        return avi.GetFrameBytes();
    }

    // Checks that ffmpeg hands back exactly frames 0..count-1, in order.
    void ExpectPackets(std::uint32_t frameBytes, std::uint32_t count) {
        std::uint32_t next = 0;
        const std::size_t read = filestest::ForEachPacket(path, frameBytes, [&](auto frame) {
            EXPECT_EQ(filestest::CounterOf(frame), next);
            EXPECT_TRUE(std::ranges::equal(frame, filestest::MakeFrame(frameBytes, next))) << next;
            ++next;
        });
        EXPECT_EQ(read, count);
    }
};

TEST_F(AviPlaybackTest, RawRecordingsReadBackFrameForFrame) {
    struct Case {
        int coding, width, height;
        const char* tag;
    };
    for (const Case c : {Case{2, 640, 480, "dcy2"},
                         {4, 1024, 768, "dcr1"},
                         {0, 3, 3, "dcm1"},
                         {1, 640, 480, "dcy1"}}) {
        SCOPED_TRACE(c.tag);
        const std::uint32_t frameBytes = Record(c.coding, c.width, c.height, 12, false);
        auto stream = filestest::ProbeStream(path);
        EXPECT_EQ(stream["codec_tag_string"], c.tag);
        EXPECT_EQ(stream["width"], std::to_string(c.width));
        EXPECT_EQ(stream["height"], std::to_string(c.height));
        EXPECT_EQ(stream["nb_read_packets"], "12");
        EXPECT_EQ(stream["r_frame_rate"], "30/1");
        ExpectPackets(frameBytes, 12);
    }
}

TEST_F(AviPlaybackTest, ConvertedRecordingsDecodeToTheWrittenPixels) {
    // 10 pixels: 30 bytes of pixels and 2 of padding a row.
    for (const auto& [width, height] : {std::pair{10, 6}, {640, 480}}) {
        SCOPED_TRACE(width);
        const std::uint32_t bitmapBytes = Record(4, width, height, 5, true);
        ASSERT_EQ(bitmapBytes, files::BitmapBytes(width, height));
        auto stream = filestest::ProbeStream(path);
        EXPECT_EQ(stream["codec_name"], "rawvideo");
        EXPECT_EQ(stream["codec_tag_string"], "[0][0][0][0]");
        EXPECT_EQ(stream["nb_read_frames"], "5");

        // The decoder gives rows top first, unpadded: the bitmap's rows in reverse order.
        const std::size_t rowBytes = 3 * std::size_t(width), stride = files::BitmapStride(width);
        std::uint32_t next = 0;
        const std::size_t decoded = filestest::ForEachPacket(
            path, rowBytes * height,
            [&](auto picture) {
                const auto bitmap = filestest::MakeFrame(bitmapBytes, next++);
                for (int y = 0; y < height; ++y) {
                    const auto* row = &bitmap[stride * (height - 1 - y)];
                    ASSERT_TRUE(std::equal(row, row + rowBytes, picture.begin() + rowBytes * y))
                        << y;
                }
            },
            "-f rawvideo -pix_fmt bgr24");
        EXPECT_EQ(decoded, 5u);
    }
}

TEST_F(AviPlaybackTest, ASecondStandardIndexReadsOn) {
    const std::uint32_t frameBytes = Record(0, 16, 4, 4100, false);
    EXPECT_EQ(filestest::ProbeStream(path)["nb_read_packets"], "4100");
    ExpectPackets(frameBytes, 4100);
}

}  // namespace
