// AVI recorder layout and rules: chunk positions, header fields, formats by coding, OpenDML
// indexes, provisional refreshes, a full index, refused input, reuse, dropped-frame counting,
// and no allocation per frame.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>

#include "files/CDcamAviFile.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/TempDir.h"

namespace {
std::atomic<std::size_t> g_allocations{0};
}  // namespace

// Counts every allocation of the test program. Not inlined, so that the compiler does not pair a
// new expression with the free() inside.
[[gnu::noinline]] void* operator new(std::size_t size) {
    ++g_allocations;
    if (void* memory = std::malloc(size ? size : 1)) return memory;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* memory) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

using files::CDcamAviFile;
using Result = CDcamAviFile::WriteResult;
using filestest::Le32At;

constexpr std::uint64_t kAvih = 32, kStrh = 108, kStrf = 172, kFirstFrame = 65040;  // data

class AviLayoutTest : public ::testing::Test {
protected:
    testsupport::TempDir dir{"kestrix-avi"};
    std::filesystem::path path = dir.Path() / "movie.avi";

    // Writes frames first..first+count-1 of the test pattern; the file stays open.
    static void WriteFrames(CDcamAviFile& avi, std::uint32_t count, std::uint32_t first = 0) {
        std::vector<std::uint8_t> frame(avi.GetFrameBytes());
        for (std::uint32_t i = first; i < first + count; ++i) {
            filestest::FillFrame(frame, i);
            ASSERT_EQ(avi.WriteFrame(frame), Result::Written) << i;
        }
    }

    void Record(int coding, int width, int height, std::uint32_t count, bool convert = false,
                std::uint32_t us = 33333) {
        CDcamAviFile avi;
        ASSERT_TRUE(avi.Open(path));
        ASSERT_TRUE(avi.SetFormat(coding, width, height, us, convert));
        WriteFrames(avi, count);
        ASSERT_TRUE(avi.Finish()) << avi.GetErrorText();
    }
};

TEST_F(AviLayoutTest, ChunksSitWhereTheLayoutPutsThem) {
    Record(2, 640, 480, 2);
    const std::uint32_t end = 65032 + 2 * 614408;
    const filestest::Chunk expected[] = {{"RIFF", "AVI ", 0, end - 8, 0},
                                         {"LIST", "hdrl", 12, 32716, 1},
                                         {"avih", "", 24, 56, 2},
                                         {"LIST", "strl", 88, 32372, 2},
                                         {"strh", "", 100, 56, 3},
                                         {"strf", "", 164, 40, 3},
                                         {"indx", "", 212, 32248, 3},
                                         {"LIST", "odml", 32468, 260, 2},
                                         {"dmlh", "", 32480, 248, 3},
                                         {"JUNK", "", 32736, 20, 1},
                                         {"LIST", "movi", 32764, end - 32772, 1},
                                         {"ix00", "", 32776, 32248, 2},
                                         {"00db", "", 65032, 614400, 2},
                                         {"00db", "", 65032 + 614408, 614400, 2}};
    ASSERT_EQ(std::filesystem::file_size(path), end);
    const auto chunks = filestest::ListChunks(path);
    ASSERT_EQ(chunks.size(), std::size(expected));
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_EQ(chunks[i].id + chunks[i].listType, expected[i].id + expected[i].listType);
        EXPECT_EQ(chunks[i].position, expected[i].position) << chunks[i].id;
        EXPECT_EQ(chunks[i].size, expected[i].size) << chunks[i].id;
        EXPECT_EQ(chunks[i].depth, expected[i].depth) << chunks[i].id;
    }
    EXPECT_EQ(filestest::ReadAt(path, 32744, 20), filestest::Bytes(20, 0));  // JUNK never written

    // Odd frames are padded so that every chunk starts on an even position.
    Record(0, 3, 3, 3);
    EXPECT_EQ(std::filesystem::file_size(path), 65032u + 3 * 18);
    EXPECT_EQ(filestest::ListChunks(path).back().position, 65032u + 2 * 18);
}

TEST_F(AviLayoutTest, HeaderFieldsAndRates) {
    EXPECT_EQ(CDcamAviFile::MicrosecondsPerFrame(4), 33333u);  // 30 fps
    EXPECT_EQ(CDcamAviFile::MicrosecondsPerFrame(6), 500000u);
    EXPECT_EQ(CDcamAviFile::MicrosecondsPerFrame(7), 0u);
    EXPECT_EQ(CDcamAviFile::MicrosecondsPerFormat7Frame(53), 6625u);
    Record(2, 640, 480, 3, false, 33333);
    const std::uint32_t avih[] = {33333, std::uint32_t(1000000.0 / 33333 * 614408),
                                  0,     0x800,
                                  3,     0,
                                  1,     614408,
                                  640,   480,
                                  0,     0,
                                  0,     0};
    for (int i = 0; i < 14; ++i) EXPECT_EQ(Le32At(path, kAvih + 4 * i), avih[i]) << i;
    const auto strh = filestest::ReadAt(path, kStrh, 56);
    EXPECT_EQ(filestest::Text4(&strh[0]) + filestest::Text4(&strh[4]), "vidsdcy2");
    EXPECT_EQ(Le32At(path, kStrh + 20), 1000u);   // scale
    EXPECT_EQ(Le32At(path, kStrh + 24), 30000u);  // rate
    EXPECT_EQ(Le32At(path, kStrh + 32), 3u);      // length
    EXPECT_EQ(Le32At(path, kStrh + 36), 614408u);
    EXPECT_EQ(Le32At(path, kStrf + 20), 614400u);
    EXPECT_EQ(Le32At(path, 32488), 3u);  // dmlh

    for (const auto& [us, rate] : {std::pair{6625u, 150943u}, {533333u, 1875u}, {133333u, 7500u}}) {
        Record(0, 8, 2, 1, false, us);
        EXPECT_EQ(Le32At(path, kAvih), us);
        EXPECT_EQ(Le32At(path, kStrh + 24), rate) << us;
    }
}

TEST_F(AviLayoutTest, StreamFormatFollowsTheColourCoding) {
    struct Case {
        int coding;
        bool convert;
        const char* fourcc;  // handler, and compression unless converted (0)
        std::uint16_t bits;
        std::uint32_t frameBytes;  // of 10 x 4 pixels
    };
    for (const Case c : {Case{0, false, "dcm1", 8, 40},
                         {1, false, "dcy1", 12, 60},
                         {2, false, "dcy2", 16, 80},
                         {3, false, "dcy3", 24, 120},
                         {4, false, "dcr1", 24, 120},
                         {5, false, "dcm2", 16, 80},
                         {6, false, "dcr2", 48, 240},
                         {2, true, "DIB ", 24, 128},
                         {7, true, "DIB ", 24, 128}}) {  // converted rows are padded to 32 bytes
        SCOPED_TRACE(c.fourcc);
        Record(c.coding, 10, 4, 1, c.convert);
        const auto fourcc = platform::LoadLE32(reinterpret_cast<const std::uint8_t*>(c.fourcc));
        EXPECT_EQ(Le32At(path, kStrh + 4), fourcc);
        EXPECT_EQ(Le32At(path, kStrf + 16), c.convert ? 0u : fourcc);
        EXPECT_EQ(Le32At(path, kStrf + 12) >> 16, c.bits);
        EXPECT_EQ(Le32At(path, kStrf + 20), c.frameBytes);
        EXPECT_EQ(Le32At(path, kFirstFrame - 4), c.frameBytes);
    }
}

TEST_F(AviLayoutTest, The4029thFrameOpensASecondStandardIndex) {
    Record(0, 8, 8, 4029);
    const auto index = filestest::ReadOdmlIndex(path);
    ASSERT_EQ(index.parts.size(), 2u);
    EXPECT_EQ(index.parts[0].position, 32776u);
    EXPECT_EQ(index.parts[0].duration, 4028u);
    EXPECT_EQ(index.parts[0].entries, 4028u);
    EXPECT_EQ(index.parts[1].position, 65032u + 4028 * 72);  // right after frame 4028
    EXPECT_EQ(index.parts[1].duration, 1u);
    EXPECT_EQ(index.parts[1].entries, 1u);
    ASSERT_EQ(index.frames.size(), 4029u);
    for (std::uint32_t i : {0u, 4027u, 4028u}) {
        EXPECT_EQ(filestest::ReadAt(path, index.frames[i], 64), filestest::MakeFrame(64, i));
    }
    EXPECT_EQ(filestest::ProbeStream(path)["nb_read_packets"], "4029");
}

TEST_F(AviLayoutTest, AFileWithoutFramesStaysEmpty) {
    CDcamAviFile avi;
    ASSERT_TRUE(avi.Open(path));
    ASSERT_TRUE(avi.SetFormat(4, 640, 480, 33333, false));
    EXPECT_EQ(avi.WriteFrame(std::vector<std::uint8_t>(100)), Result::BadFrame);  // too short
    EXPECT_TRUE(avi.Finish());
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
}

TEST_F(AviLayoutTest, RefreshesFollowTheClockAndNeverChangeTheFinishedFile) {
    std::vector<std::uint8_t> finished[2];
    for (int run = 0; run < 2; ++run) {
        // Run 0's clock stands still; run 1's moves 400 ms a frame, refreshing every 3rd frame.
        auto now = std::chrono::steady_clock::time_point{};
        const auto step = std::chrono::milliseconds(run == 0 ? 0 : 400);
        CDcamAviFile avi;
        avi.SetClock([&] { return now += step; });
        ASSERT_TRUE(avi.Open(path));
        ASSERT_TRUE(avi.SetFormat(0, 8, 8, 33333, false));
        WriteFrames(avi, 4);
        EXPECT_EQ(Le32At(path, kAvih + 16), run == 0 ? 1u : 4u);  // refreshed at frames 1, 4
        WriteFrames(avi, 4025, 4);                                // into a second standard index
        EXPECT_EQ(Le32At(path, kAvih + 16), run == 0 ? 1u : 4027u);
        ASSERT_TRUE(avi.Finish());
        finished[run] = filestest::ReadAll(path);
    }
    EXPECT_TRUE(finished[0] == finished[1]);
}

TEST_F(AviLayoutTest, AFullIndexEndsTheRecordingCleanly) {
    struct SmallIndexAvi : CDcamAviFile {
        using CAviFile::LimitSuperEntries;
    } avi;
    avi.LimitSuperEntries(2);
    ASSERT_TRUE(avi.Open(path));
    ASSERT_TRUE(avi.SetFormat(0, 4, 4, 33333, false));
    WriteFrames(avi, 2 * 4028);
    const std::vector<std::uint8_t> frame(16);
    EXPECT_EQ(avi.WriteFrame(frame), Result::IndexFull);
    EXPECT_EQ(avi.WriteFrame(frame), Result::IndexFull);
    EXPECT_TRUE(avi.Finish());
    EXPECT_EQ(filestest::ReadOdmlIndex(path).frames.size(), 2 * 4028u);
    EXPECT_EQ(filestest::ProbeStream(path)["nb_read_packets"], "8056");

    // A frame that carries the RIFF past its limit opens a part whose index needs an entry of
    // its own: with room for one entry only, the frame is refused before anything is written.
    SmallIndexAvi big;
    big.LimitSuperEntries(1);
    const auto bigPath = dir.Path() / "big.avi";
    ASSERT_TRUE(big.Open(bigPath));
    const std::size_t bytes = std::size_t{32768} * 32257;  // just over 0x3F000000
    ASSERT_TRUE(big.SetFormat(0, 32768, 32257, 33333, false));
    const auto huge = std::make_unique_for_overwrite<std::uint8_t[]>(bytes);  // never read
    EXPECT_EQ(big.WriteFrame({huge.get(), bytes}), Result::IndexFull);
    EXPECT_TRUE(big.Finish());
    EXPECT_EQ(std::filesystem::file_size(bigPath), 0u);
}

TEST_F(AviLayoutTest, RefusesWhatCannotBeRecorded) {
    CDcamAviFile avi;
    EXPECT_EQ(avi.WriteFrame(std::vector<std::uint8_t>(8)), Result::Failed);  // nothing open
    ASSERT_TRUE(avi.Open(path));
    EXPECT_FALSE(avi.Open(path));  // one file at a time
    EXPECT_FALSE(avi.SetFormat(2, 0, 480, 33333, false));
    EXPECT_FALSE(avi.SetFormat(2, 640, 480, 0, false));          // a packet count that read back 0
    EXPECT_FALSE(avi.SetFormat(7, 640, 480, 33333, false));      // raw frames of no known coding
    EXPECT_FALSE(avi.SetFormat(6, 65535, 65535, 33333, false));  // frames beyond 2 GiB
    EXPECT_NE(avi.GetErrorText().find("colour coding 7"), std::string::npos);
    ASSERT_TRUE(avi.SetFormat(4, 4, 2, 33333, false));
    EXPECT_EQ(avi.WriteFrame(std::vector<std::uint8_t>(30, 1)), Result::Written);  // longer slot
    EXPECT_FALSE(avi.SetFormat(4, 8, 2, 33333, false));  // not once frames are in
    ASSERT_TRUE(avi.Finish());
    EXPECT_EQ(std::filesystem::file_size(path), kFirstFrame + 24);

    // The same object records the next file from scratch.
    const auto first = filestest::ReadAll(path);
    ASSERT_TRUE(avi.Open(dir.Path() / "next.avi"));
    ASSERT_TRUE(avi.SetFormat(4, 4, 2, 33333, false));
    EXPECT_EQ(avi.WriteFrame(std::vector<std::uint8_t>(24, 1)), Result::Written);
    ASSERT_TRUE(avi.Finish());
    EXPECT_TRUE(filestest::ReadAll(dir.Path() / "next.avi") == first);
}

TEST_F(AviLayoutTest, AppendingFramesDoesNotAllocate) {
    auto now = std::chrono::steady_clock::time_point{};
    CDcamAviFile avi;
    avi.SetClock([&] { return now += std::chrono::milliseconds(300); });
    ASSERT_TRUE(avi.Open(path));
    ASSERT_TRUE(avi.SetFormat(0, 8, 8, 33333, false));
    std::vector<std::uint8_t> frame(64);
    const std::size_t before = g_allocations;
    bool written = true;
    for (std::uint32_t i = 0; i < 9000; ++i) {  // refreshes and two new standard indexes
        written = written && avi.WriteFrame(frame) == Result::Written;
        avi.NoteSequence(std::uint16_t(i));
    }
    EXPECT_EQ(g_allocations - before, 0u);
    EXPECT_TRUE(written);
}

TEST(AviDroppedFrames, CountsGapsBetweenSequenceNumbers) {
    EXPECT_EQ(CDcamAviFile::FramesMissing(65535, 0), 0u);
    EXPECT_EQ(CDcamAviFile::FramesMissing(65534, 1), 2u);
    EXPECT_EQ(CDcamAviFile::FramesMissing(9, 9), 0u);  // the same frame again
    CDcamAviFile avi;
    EXPECT_EQ(avi.NoteSequence(100), 0u);  // the first frame only sets the reference
    EXPECT_EQ(avi.NoteSequence(103), 2u);
    avi.RestartSequence();  // a restart jumps to the newest frame
    EXPECT_EQ(avi.NoteSequence(65535), 0u);
    EXPECT_EQ(avi.NoteSequence(0), 0u);
    EXPECT_EQ(avi.NoteSequence(2), 1u);
    EXPECT_EQ(avi.GetDropped(), 3u);
}

}  // namespace
