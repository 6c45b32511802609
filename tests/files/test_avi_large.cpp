// Recordings past the first RIFF's 0x3F000000 bytes read back whole across their "AVIX" parts,
// finished or cut by SIGKILL. Big frames that differ only in their counter keep it quick.
#include <gtest/gtest.h>

#include "files/CDcamAviFile.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

using files::CDcamAviFile;

// 1360 x 1024 RGB: the 253rd frame carries the first RIFF past its limit and opens the first
// AVIX part.
constexpr std::uint32_t kFrameBytes = 1360 * 1024 * 3, kFirstRiffFrames = 253;

class AviLargeTest : public ::testing::Test {
protected:
    testsupport::TempDir dir{"kestrix-avi-large"};
    std::filesystem::path path = dir.Path() / "long.avi";
    std::vector<std::uint8_t> frame = filestest::MakeFrame(kFrameBytes, 0);

    bool Record(CDcamAviFile& avi, std::uint32_t count) {
        if (!avi.Open(path) || !avi.SetFormat(4, 1360, 1024, 66666, false)) return false;
        for (std::uint32_t i = 0; i < count; ++i) {
            platform::StoreBE32(frame.data(), i);
            if (avi.WriteFrame(frame) != CDcamAviFile::WriteResult::Written) return false;
        }
        return true;
    }

    // ffmpeg reads every frame, in order and intact; returns the RIFF parts.
    std::vector<filestest::Chunk> ExpectFrames(std::uint32_t count) {
        std::uint32_t next = 0;
        filestest::ForEachFrame(path, kFrameBytes, [&](auto read) {
            EXPECT_EQ(platform::LoadBE32(read.data()), next++);
            EXPECT_TRUE(std::equal(read.begin() + 4, read.end(), frame.begin() + 4));
        });
        EXPECT_EQ(next, count);
        auto chunks = filestest::ListChunks(path);
        std::erase_if(chunks, [](const auto& chunk) { return chunk.id != "RIFF"; });
        return chunks;
    }
};

// A recording that ends on the frame crossing the limit ends with the part that frame opened:
// empty, yet listed in the super index, and the file still reads whole.
TEST_F(AviLargeTest, ARecordingEndingOnTheCrossingFrameEndsWithAnEmptyPart) {
    {
        CDcamAviFile avi;
        ASSERT_TRUE(Record(avi, kFirstRiffFrames));
        EXPECT_EQ(avi.GetRiffCount(), 2u);
        ASSERT_TRUE(avi.Finish());
    }
    const auto riffs = ExpectFrames(kFirstRiffFrames);
    EXPECT_EQ(filestest::ProbeStream(path)["nb_read_packets"], std::to_string(kFirstRiffFrames));
    ASSERT_EQ(riffs.size(), 2u);
    EXPECT_GT(riffs[0].size, files::CAviFile::kRiffLimit);
    EXPECT_EQ(riffs[1].listType, "AVIX");
    EXPECT_EQ(riffs[1].position, riffs[0].position + 8 + riffs[0].size);
    // "AVIX", then LIST "movi" holding one ix00 and nothing else.
    EXPECT_EQ(riffs[1].size, 4 + 12 + 8 + files::CAviFile::kIndexBytes);
    EXPECT_EQ(riffs[1].position + 8 + riffs[1].size, std::filesystem::file_size(path));
    const auto index = filestest::ReadOdmlIndex(path);
    ASSERT_EQ(index.parts.size(), 2u);
    EXPECT_EQ(index.parts[0].duration, kFirstRiffFrames);
    EXPECT_EQ(index.parts[1].duration, 0u);
    EXPECT_EQ(index.parts[1].entries, 0u);
    EXPECT_EQ(index.parts[1].position, riffs[1].position + 24);  // first in the AVIX movi
    EXPECT_EQ(index.frames.size(), kFirstRiffFrames);
}

TEST_F(AviLargeTest, AWriterKilledInAnAvixPartLeavesAReadableFile) {
    ASSERT_TRUE(filestest::RunUntilKilled([&](const auto& crash) {
        // A clock at a standstill: only the first frame and the new part refresh the headers.
        CDcamAviFile avi;
        avi.SetClock([] { return std::chrono::steady_clock::time_point{}; });
        if (Record(avi, kFirstRiffFrames + 3)) crash();
    }));
    const auto riffs = ExpectFrames(kFirstRiffFrames + 3);
    ASSERT_EQ(riffs.size(), 2u);
    EXPECT_EQ(riffs[1].listType, "AVIX");
    EXPECT_EQ(filestest::ReadOdmlIndex(path).frames.size(), kFirstRiffFrames);
}

}  // namespace
