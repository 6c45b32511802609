// Recordings that end badly: a full disk (a file-size limit in a child process) and a writer
// killed with SIGKILL. Either way the file reads back up to its last whole frame.
#include <gtest/gtest.h>

#include "files/CDcamAviFile.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

using files::CDcamAviFile;
using Result = CDcamAviFile::WriteResult;

constexpr std::uint32_t kFrameBytes = 640 * 480 * 2;  // YUV 4:2:2
constexpr std::uint64_t kFirstFrame = 65032;          // header of the first frame chunk

class AviRecoveryTest : public ::testing::Test {
protected:
    testsupport::TempDir dir{"kestrix-avi-fail"};
    std::filesystem::path path = dir.Path() / "movie.avi";

    // In a child limited to limit bytes per file: records until a write fails, then finishes.
    // Exits with the frames kept, or 255 when the writer claimed success anywhere.
    int RecordUntilFull(rlim_t limit) {
        return filestest::RunInChild(
            [&] {
                CDcamAviFile avi;
                if (!avi.Open(path) || !avi.SetFormat(2, 640, 480, 33333, false)) return 255;
                std::vector<std::uint8_t> frame(kFrameBytes);
                Result result = Result::Written;
                for (std::uint32_t i = 0; i < 100 && result == Result::Written; ++i) {
                    filestest::FillFrame(frame, i);
                    result = avi.WriteFrame(frame);
                }
                const bool reported =
                    avi.GetErrorText().find("File too large") != std::string::npos;
                if (result != Result::Failed || avi.WriteFrame(frame) != Result::Failed) return 255;
                if (avi.Finish() || !reported) return 255;
                return int(avi.GetFrameCount());
            },
            limit);
    }

    void ExpectWholeFrames(std::uint32_t count) {
        EXPECT_EQ(filestest::ProbeStream(path)["nb_read_packets"], std::to_string(count));
        std::uint32_t next = 0;
        filestest::ForEachPacket(path, kFrameBytes, [&](auto frame) {
            EXPECT_TRUE(std::ranges::equal(frame, filestest::MakeFrame(kFrameBytes, next))) << next;
            ++next;
        });
        EXPECT_EQ(next, count);
    }
};

TEST_F(AviRecoveryTest, AFullDiskKeepsTheFramesThatFit) {
    // 5 MB hold 8 frames; the 9th is cut short and must not count.
    ASSERT_EQ(RecordUntilFull(5000000), 8);
    const std::uint64_t end = kFirstFrame + 8 * std::uint64_t(kFrameBytes + 8);
    EXPECT_EQ(std::filesystem::file_size(path), end);  // the cut frame is gone
    const auto chunks = filestest::ListChunks(path);
    ASSERT_FALSE(chunks.empty());
    EXPECT_EQ(chunks.front().size + 8, end);
    EXPECT_EQ(filestest::ReadOdmlIndex(path).frames.size(), 8u);
    ExpectWholeFrames(8);
}

TEST_F(AviRecoveryTest, AFullDiskBeforeTheFirstFrameLeavesAnEmptyFile) {
    // The first standard index does not fit, then the first frame does not.
    for (rlim_t limit : {40000, 100000}) {
        EXPECT_EQ(RecordUntilFull(limit), 0) << limit;
        EXPECT_EQ(std::filesystem::file_size(path), 0u) << limit;
    }
}

TEST_F(AviRecoveryTest, AWriterKilledMidRecordingLeavesAReadableFile) {
    const std::uint32_t count = 20;
    ASSERT_TRUE(filestest::RunUntilKilled([&](const auto& crash) {
        // A clock 300 ms on at every frame: refreshed at frames 1, 5, 9, 13 and 17.
        auto now = std::chrono::steady_clock::time_point{};
        CDcamAviFile avi;
        avi.SetClock([&] { return now += std::chrono::milliseconds(300); });
        if (!avi.Open(path) || !avi.SetFormat(2, 640, 480, 33333, false)) return;
        std::vector<std::uint8_t> frame(kFrameBytes);
        for (std::uint32_t i = 0; i < count; ++i) {
            filestest::FillFrame(frame, i);
            if (avi.WriteFrame(frame) != Result::Written) return;
        }
        crash();
    }));

    // The headers on disk count the frames of the last refresh; a reader gets every whole frame.
    EXPECT_EQ(platform::LoadLE32(filestest::ReadAt(path, 32 + 16, 4).data()), 17u);
    EXPECT_EQ(filestest::ReadOdmlIndex(path).frames.size(), 17u);
    ExpectWholeFrames(count);

    // Cut inside the last frame, as a kill during its write would.
    std::filesystem::resize_file(path, std::filesystem::file_size(path) - 1000);
    ExpectWholeFrames(count - 1);
}

}  // namespace
