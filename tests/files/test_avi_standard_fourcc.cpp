// Raw recordings with the standard FourCC as ffmpeg reads them: every colour coding decodes to
// the pixels the converted recording of the same frame holds, and the camera style is untouched.
#include <gtest/gtest.h>

#include <algorithm>

#include "camera/FrameConverter.h"
#include "files/CDcamAviFile.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

using files::CDcamAviFile;
using files::RawFourCC;

constexpr int kWidth = 64, kHeight = 48;

class StandardFourCCTest : public ::testing::Test {
protected:
    testsupport::TempDir dir{"kestrix-avi-fourcc"};
    std::filesystem::path path = dir.Path() / "raw.avi";

    void Record(int coding, const filestest::Bytes& frame, RawFourCC style) {
        CDcamAviFile avi;
        ASSERT_TRUE(avi.Open(path) && avi.SetFormat(coding, kWidth, kHeight, 33333, false, style));
        ASSERT_EQ(avi.WriteFrame(frame), CDcamAviFile::WriteResult::Written);
        ASSERT_TRUE(avi.Finish());
    }
};

TEST_F(StandardFourCCTest, EachCodingDecodesToTheConvertedPixels) {
    struct Case {
        int coding;
        const char* tag;
        const char* pixFmt;
        int tolerance;  // YUV: ffmpeg's and our BT.601 arithmetic round differently
    };
    const FrameConverter converter;  // full range, 16-bit samples by their high byte
    for (const Case c : {Case{0, "Y800", "gray", 0},
                         {2, "UYVY", "uyvy422", 2},
                         {4, "raw ", "rgb24", 0},
                         {5, "b16g", "gray16be", 1},
                         {6, "b48r", "rgb48be", 1}}) {
        SCOPED_TRACE(c.tag);
        const auto raw =
            filestest::MakeFrame(FrameConverter::FrameBytes(c.coding, kWidth, kHeight), 7);
        Record(c.coding, raw, RawFourCC::Standard);
        auto stream = filestest::ProbeStream(path);
        EXPECT_EQ(stream["codec_tag_string"] + " " + stream["pix_fmt"],
                  std::string(c.tag) + " " + c.pixFmt);

        // The converted recording holds this bitmap (bottom row first, as the playback suite
        // proves); ffmpeg gives rows top first.
        filestest::Bytes bitmap(FrameConverter::BitmapBytes(kWidth, kHeight));
        ASSERT_TRUE(converter.ConvertToBitmap(c.coding, bitmap, raw, kWidth, kHeight));
        const std::size_t row = 3 * kWidth, stride = FrameConverter::Stride(kWidth);
        int worst = 0;
        const auto decoded = filestest::ForEachFrame(
            path, row * kHeight,
            [&](auto picture) {
                for (int y = 0; y < kHeight; ++y) {
                    const auto* bgr = bitmap.data() + stride * (kHeight - 1 - y);
                    for (std::size_t x = 0; x < row; ++x)
                        worst = std::max(worst, std::abs(int(bgr[x]) - int(picture[row * y + x])));
                }
            },
            // No AVI field carries the YUV range: the camera's is full range.
            "-vf scale=in_range=full -f rawvideo -pix_fmt bgr24");
        EXPECT_EQ(decoded, 1u);
        EXPECT_LE(worst, c.tolerance);
    }
}

TEST_F(StandardFourCCTest, CodingsWithoutAConvertibleTagAndTheCameraStyle) {
    // ffmpeg knows the 4:1:1 layout by its tag but cannot convert it further; 4:4:4 (U Y V) has
    // no tag any decoder reads, so it keeps the camera's.
    const auto frame = [](int coding) {
        return filestest::MakeFrame(FrameConverter::FrameBytes(coding, kWidth, kHeight), 1);
    };
    Record(1, frame(1), RawFourCC::Standard);
    EXPECT_EQ(filestest::ProbeStream(path)["pix_fmt"], "uyyvyy411");
    Record(3, frame(3), RawFourCC::Standard);
    EXPECT_EQ(filestest::ProbeStream(path)["codec_tag_string"], "dcy3");
    Record(2, frame(2), RawFourCC::Camera);
    EXPECT_EQ(filestest::ProbeStream(path)["codec_tag_string"], "dcy2");
}

}  // namespace
