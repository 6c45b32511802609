// Recordings past the first RIFF's 0x3F000000 bytes: the "AVIX" parts read back whole, finished
// or cut by SIGKILL. Big frames keep the frame count, and the time, low.
#include <gtest/gtest.h>

#include "files/CDcamAviFile.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

using files::CDcamAviFile;
using Result = CDcamAviFile::WriteResult;

// 1360 x 1024 RGB: the first RIFF takes 253 frames, frame 254 opens the first AVIX.
constexpr int kWidth = 1360, kHeight = 1024;
constexpr std::uint32_t kFrameBytes = kWidth * kHeight * 3;
constexpr std::uint32_t kFramesInFirstRiff = 253;

class AviLargeTest : public ::testing::Test {
protected:
    testsupport::TempDir dir{"kestrix-avi-large"};
    std::filesystem::path path = dir.Path() / "long.avi";
    std::vector<std::uint8_t> frame = filestest::MakeFrame(kFrameBytes, 0);

    // Frames differ only in their counter, so that writing and checking stay cheap.
    bool WriteFrames(CDcamAviFile& avi, std::uint32_t count) {
        for (std::uint32_t i = 0; i < count; ++i) {
            platform::StoreBE32(frame.data(), i);
            if (avi.WriteFrame(frame) != Result::Written) return false;
        }
        return true;
    }

    // Every frame as ffmpeg reads it, in order and intact.
    void ExpectFrames(std::uint32_t count) {
        std::uint32_t next = 0;
        filestest::ForEachPacket(path, kFrameBytes, [&](auto read) {
            EXPECT_EQ(filestest::CounterOf(read), next++);
            EXPECT_TRUE(std::equal(read.begin() + 4, read.end(), frame.begin() + 4));
        });
        EXPECT_EQ(next, count);
    }

    // The RIFF parts; in a cut file, frames written after the last refresh follow them.
    std::vector<filestest::ChunkInfo> Riffs() const {
        auto chunks = filestest::ListChunks(path);
        std::erase_if(chunks, [](const auto& chunk) { return chunk.id != "RIFF"; });
        return chunks;
    }
};

TEST_F(AviLargeTest, ALongRecordingReadsBackWholeAcrossItsParts) {
    const std::uint32_t count = kFramesInFirstRiff + 7;
    {
        CDcamAviFile avi;
        ASSERT_TRUE(avi.Open(path));
        ASSERT_TRUE(avi.SetFormat(4, kWidth, kHeight, 66666, false));
        ASSERT_TRUE(WriteFrames(avi, count));
        EXPECT_EQ(avi.GetRiffCount(), 2u);
        ASSERT_TRUE(avi.Finish()) << avi.GetErrorText();
    }
    const auto riffs = Riffs();
    ASSERT_EQ(riffs.size(), 2u);
    EXPECT_EQ(riffs[0].listType, "AVI ");
    EXPECT_GT(riffs[0].size, files::CAviFile::kRiffLimit);
    EXPECT_LE(riffs[0].size, files::CAviFile::kRiffLimit + kFrameBytes + 8);
    EXPECT_EQ(riffs[1].listType, "AVIX");
    EXPECT_EQ(riffs[1].position + 8 + riffs[1].size, std::filesystem::file_size(path));

    const auto index = filestest::ReadOdmlIndex(path);
    ASSERT_EQ(index.parts.size(), 2u);
    EXPECT_EQ(index.parts[0].duration, kFramesInFirstRiff);
    EXPECT_EQ(index.parts[1].duration, 7u);
    // The AVIX part's index sits first in its movi.
    EXPECT_EQ(index.parts[1].position, riffs[1].position + 24);
    ASSERT_EQ(index.frames.size(), count);
    EXPECT_EQ(filestest::CounterOf(filestest::ReadAt(path, index.frames.back().dataPos, 4)),
              count - 1);
    ExpectFrames(count);
}

TEST_F(AviLargeTest, AWriterKilledInAnAvixPartLeavesAReadableFile) {
    const std::uint32_t count = kFramesInFirstRiff + 3;
    ASSERT_TRUE(filestest::RunUntilKilled([&](const auto& crash) {
        // A stopped clock: only the first frame and the new RIFF refresh the headers.
        CDcamAviFile avi;
        avi.SetClock([] { return std::chrono::steady_clock::time_point{}; });
        if (avi.Open(path) && avi.SetFormat(4, kWidth, kHeight, 66666, false) &&
            WriteFrames(avi, count)) {
            crash();
        }
    }));

    const auto riffs = Riffs();
    ASSERT_EQ(riffs.size(), 2u);
    EXPECT_EQ(riffs[1].listType, "AVIX");
    EXPECT_EQ(filestest::ReadOdmlIndex(path).frames.size(), kFramesInFirstRiff + 1);
    ExpectFrames(count);
}

}  // namespace
