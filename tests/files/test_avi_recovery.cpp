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

class AviRecoveryTest : public ::testing::Test {
protected:
    testsupport::TempDir dir{"kestrix-avi-fail"};
    std::filesystem::path path = dir.Path() / "movie.avi";

    // Records until a write fails; false when the writer claimed success for it anywhere.
    bool RecordUntilFull(CDcamAviFile& avi) {
        Result result = Result::Written;
        for (std::uint32_t i = 0; i < 100 && result == Result::Written; ++i) {
            result = avi.WriteFrame(filestest::MakeFrame(kFrameBytes, i));
        }
        const bool reported = avi.GetErrorText().find("File too large") != std::string::npos;
        return result == Result::Failed && avi.WriteFrame({}) == Result::Failed && !avi.Finish() &&
               reported;
    }

    // In a child whose files may not pass limit bytes; the frames kept, or 255.
    int FramesKeptAtLimit(rlim_t limit) {
        return filestest::RunInChild(
            [&] {
                CDcamAviFile avi;
                const bool ok = avi.Open(path) && avi.SetFormat(2, 640, 480, 33333, false) &&
                                RecordUntilFull(avi);
                return ok ? int(avi.GetFrameCount()) : 255;
            },
            limit);
    }

    void ExpectWholeFrames(std::uint32_t count) {
        EXPECT_EQ(filestest::ProbeStream(path)["nb_read_packets"], std::to_string(count));
        std::uint32_t next = 0;
        filestest::ForEachFrame(path, kFrameBytes, [&](auto frame) {
            EXPECT_TRUE(std::ranges::equal(frame, filestest::MakeFrame(kFrameBytes, next++)));
        });
        EXPECT_EQ(next, count);
    }
};

TEST_F(AviRecoveryTest, AFullDiskKeepsTheFramesThatFit) {
    ASSERT_EQ(FramesKeptAtLimit(5000000), 8);  // the 9th frame was cut short
    const std::uint64_t end = 65032 + 8 * std::uint64_t(kFrameBytes + 8);
    EXPECT_EQ(std::filesystem::file_size(path), end);  // and is gone
    EXPECT_EQ(filestest::ListChunks(path).front().size + 8, end);
    EXPECT_EQ(filestest::ReadOdmlIndex(path).frames.size(), 8u);
    ExpectWholeFrames(8);

    // The first standard index does not fit, then the first frame does not: nothing is kept.
    for (rlim_t limit : {40000, 100000}) {
        EXPECT_EQ(FramesKeptAtLimit(limit), 0) << limit;
        EXPECT_EQ(std::filesystem::file_size(path), 0u) << limit;
    }
}

TEST_F(AviRecoveryTest, AWriterKilledMidRecordingLeavesAReadableFile) {
    ASSERT_TRUE(filestest::RunUntilKilled([&](const auto& crash) {
        // 300 ms a frame: the headers are refreshed at frames 1, 5, 9, 13 and 17.
        auto now = std::chrono::steady_clock::time_point{};
        CDcamAviFile avi;
        avi.SetClock([&] { return now += std::chrono::milliseconds(300); });
        if (!avi.Open(path) || !avi.SetFormat(2, 640, 480, 33333, false)) return;
        for (std::uint32_t i = 0; i < 20; ++i) {
            if (avi.WriteFrame(filestest::MakeFrame(kFrameBytes, i)) != Result::Written) return;
        }
        crash();
    }));
    EXPECT_EQ(filestest::Le32At(path, 32 + 16), 17u);  // avih total of the last refresh
    EXPECT_EQ(filestest::ReadOdmlIndex(path).frames.size(), 17u);
    ExpectWholeFrames(20);  // readers scan on past the refreshed part

    // Cut inside the last frame, as a kill during its write would.
    std::filesystem::resize_file(path, std::filesystem::file_size(path) - 1000);
    ExpectWholeFrames(19);
}

}  // namespace
