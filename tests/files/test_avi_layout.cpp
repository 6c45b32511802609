// AVI recorder layout: chunk positions, header fields, stream formats by coding, OpenDML
// indexes, provisional refreshes, a full index, refused formats and dropped-frame counting.
#include <gtest/gtest.h>

#include "files/CDcamAviFile.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

using files::CDcamAviFile;
using Result = CDcamAviFile::WriteResult;
using platform::LoadLE16;
using platform::LoadLE32;

// Positions of the header chunks' data, fixed by the layout.
constexpr std::uint64_t kAvihData = 32, kStrhData = 108, kStrfData = 172, kDmlhData = 32488;
constexpr std::uint64_t kFirstFrameData = 65040;

// A clock that moves on by step at every reading.
struct SteppingClock {
    std::chrono::steady_clock::time_point now{};
    std::chrono::milliseconds step{0};
    CDcamAviFile::Clock Source() {
        return [this] { return now += step; };
    }
};

class AviLayoutTest : public ::testing::Test {
protected:
    testsupport::TempDir dir{"kestrix-avi"};
    std::filesystem::path path = dir.Path() / "movie.avi";

    // Writes frames 0..count-1 of the test pattern; the file stays open.
    static void WriteFrames(CDcamAviFile& avi, std::uint32_t count) {
        std::vector<std::uint8_t> frame(avi.GetFrameBytes());
        for (std::uint32_t i = 0; i < count; ++i) {
            filestest::FillFrame(frame, i);
            ASSERT_EQ(avi.WriteFrame(frame), Result::Written) << i;
        }
    }

    void Record(const std::filesystem::path& file, int coding, int width, int height,
                std::uint32_t count, bool convert = false, std::uint32_t us = 33333) {
        CDcamAviFile avi;
        ASSERT_TRUE(avi.Open(file));
        ASSERT_TRUE(avi.SetFormat(coding, width, height, us, convert));
        WriteFrames(avi, count);
        ASSERT_TRUE(avi.Finish()) << avi.GetErrorText();
    }

    std::uint32_t Field(std::uint64_t position) const {
        return LoadLE32(filestest::ReadAt(path, position, 4).data());
    }
};

TEST_F(AviLayoutTest, ChunksSitWhereTheLayoutPutsThem) {
    Record(path, 2, 640, 480, 2);
    struct Expected {
        const char* id;
        const char* type;
        std::uint64_t position;
        std::uint32_t size;
        int depth;
    };
    const std::uint32_t fileSize = 65032 + 2 * (614400 + 8);
    const Expected expected[] = {
        {"RIFF", "AVI ", 0, fileSize - 8, 0},
        {"LIST", "hdrl", 12, 32716, 1},
        {"avih", "", 24, 56, 2},
        {"LIST", "strl", 88, 32372, 2},
        {"strh", "", 100, 56, 3},
        {"strf", "", 164, 40, 3},
        {"indx", "", 212, 32248, 3},
        {"LIST", "odml", 32468, 260, 2},
        {"dmlh", "", 32480, 248, 3},
        {"JUNK", "", 32736, 20, 1},
        {"LIST", "movi", 32764, fileSize - 32772, 1},
        {"ix00", "", 32776, 32248, 2},
        {"00db", "", 65032, 614400, 2},
        {"00db", "", 65032 + 614408, 614400, 2},
    };
    ASSERT_EQ(std::filesystem::file_size(path), fileSize);
    const auto chunks = filestest::ListChunks(path);
    ASSERT_EQ(chunks.size(), std::size(expected));
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_EQ(chunks[i].id, expected[i].id) << i;
        EXPECT_EQ(chunks[i].listType, expected[i].type) << i;
        EXPECT_EQ(chunks[i].position, expected[i].position) << i;
        EXPECT_EQ(chunks[i].size, expected[i].size) << i;
        EXPECT_EQ(chunks[i].depth, expected[i].depth) << i;
    }
    // The JUNK data is never written: it reads back as zeros.
    EXPECT_EQ(filestest::ReadAt(path, 32744, 20), std::vector<std::uint8_t>(20, 0));
}

TEST_F(AviLayoutTest, HeadersFor30FramesPerSecond) {
    EXPECT_EQ(CDcamAviFile::MicrosecondsPerFrame(4), 33333u);
    Record(path, 2, 640, 480, 3, false, CDcamAviFile::MicrosecondsPerFrame(4));

    const auto avih = filestest::ReadAt(path, kAvihData, 56);
    EXPECT_EQ(LoadLE32(&avih[0]), 33333u);
    EXPECT_EQ(LoadLE32(&avih[4]), std::uint32_t(1000000.0 / 33333 * 614408));
    EXPECT_EQ(LoadLE32(&avih[8]), 0u);
    EXPECT_EQ(LoadLE32(&avih[12]), 0x800u);
    EXPECT_EQ(LoadLE32(&avih[16]), 3u);
    EXPECT_EQ(LoadLE32(&avih[20]), 0u);
    EXPECT_EQ(LoadLE32(&avih[24]), 1u);
    EXPECT_EQ(LoadLE32(&avih[28]), 614408u);
    EXPECT_EQ(LoadLE32(&avih[32]), 640u);
    EXPECT_EQ(LoadLE32(&avih[36]), 480u);

    const auto strh = filestest::ReadAt(path, kStrhData, 56);
    EXPECT_EQ(filestest::FourCCText(&strh[0]), "vids");
    EXPECT_EQ(filestest::FourCCText(&strh[4]), "dcy2");
    EXPECT_EQ(LoadLE32(&strh[20]), 1000u);
    EXPECT_EQ(LoadLE32(&strh[24]), 30000u);
    EXPECT_EQ(LoadLE32(&strh[32]), 3u);
    EXPECT_EQ(LoadLE32(&strh[36]), 614408u);
    for (int offset : {8, 12, 16, 28, 40, 44, 48, 52}) EXPECT_EQ(LoadLE32(&strh[offset]), 0u);

    const auto strf = filestest::ReadAt(path, kStrfData, 40);
    EXPECT_EQ(LoadLE32(&strf[0]), 40u);
    EXPECT_EQ(LoadLE32(&strf[4]), 640u);
    EXPECT_EQ(LoadLE32(&strf[8]), 480u);
    EXPECT_EQ(LoadLE16(&strf[12]), 1);
    EXPECT_EQ(LoadLE16(&strf[14]), 16);
    EXPECT_EQ(filestest::FourCCText(&strf[16]), "dcy2");
    EXPECT_EQ(LoadLE32(&strf[20]), 614400u);
    EXPECT_EQ(Field(kDmlhData), 3u);
}

TEST_F(AviLayoutTest, FramePeriodsAndRates) {
    EXPECT_EQ(CDcamAviFile::MicrosecondsPerFormat7Frame(53), 6625u);
    EXPECT_EQ(CDcamAviFile::MicrosecondsPerFormat7Frame(0), 0u);
    EXPECT_EQ(CDcamAviFile::MicrosecondsPerFrame(6), 500000u);
    EXPECT_EQ(CDcamAviFile::MicrosecondsPerFrame(7), 0u);
    EXPECT_EQ(CDcamAviFile::MicrosecondsPerFrame(-1), 0u);
    struct Case {
        std::uint32_t us, rate;
    };
    for (const Case c : {Case{6625, 150943}, {533333, 1875}, {133333, 7500}, {66666, 15000}}) {
        Record(path, 0, 8, 2, 1, false, c.us);
        EXPECT_EQ(Field(kAvihData), c.us);
        EXPECT_EQ(Field(kStrhData + 24), c.rate) << c.us;
    }
}

TEST_F(AviLayoutTest, StreamFormatFollowsTheColourCoding) {
    struct Case {
        int coding;
        bool convert;
        const char* handler;
        const char* compression;  // "" for 0
        std::uint16_t bits;
        std::uint32_t frameBytes;  // of 10 x 4 pixels
    };
    const Case cases[] = {
        {0, false, "dcm1", "dcm1", 8, 40},
        {1, false, "dcy1", "dcy1", 12, 60},
        {2, false, "dcy2", "dcy2", 16, 80},
        {3, false, "dcy3", "dcy3", 24, 120},
        {4, false, "dcr1", "dcr1", 24, 120},
        {5, false, "dcm2", "dcm2", 16, 80},
        {6, false, "dcr2", "dcr2", 48, 240},
        // Converted frames are the 24-bit bitmaps, rows padded to 4 bytes: 32 bytes a row.
        {2, true, "DIB ", "", 24, 128},
        {4, true, "DIB ", "", 24, 128},
        {7, true, "DIB ", "", 24, 128},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.handler) + " from coding " + std::to_string(c.coding));
        CDcamAviFile avi;
        ASSERT_TRUE(avi.Open(path));
        ASSERT_TRUE(avi.SetFormat(c.coding, 10, 4, 33333, c.convert));
        EXPECT_EQ(avi.GetFrameBytes(), c.frameBytes);
        WriteFrames(avi, 1);
        ASSERT_TRUE(avi.Finish());
        const auto strh = filestest::ReadAt(path, kStrhData, 56);
        const auto strf = filestest::ReadAt(path, kStrfData, 40);
        EXPECT_EQ(filestest::FourCCText(&strh[4]), c.handler);
        EXPECT_EQ(LoadLE16(&strf[14]), c.bits);
        EXPECT_EQ(
            LoadLE32(&strf[16]),
            *c.compression ? LoadLE32(reinterpret_cast<const std::uint8_t*>(c.compression)) : 0u);
        EXPECT_EQ(LoadLE32(&strf[20]), c.frameBytes);
        EXPECT_EQ(Field(kFirstFrameData - 4), c.frameBytes);
    }
}

TEST_F(AviLayoutTest, The4029thFrameOpensASecondStandardIndex) {
    Record(path, 0, 8, 8, 4029);
    const auto index = filestest::ReadOdmlIndex(path);
    ASSERT_EQ(index.parts.size(), 2u);
    EXPECT_EQ(index.parts[0].position, 32776u);
    EXPECT_EQ(index.parts[0].duration, 4028u);
    EXPECT_EQ(index.parts[0].entries, 4028u);
    // The second ix00 comes right after the 4028th frame, in the same movi.
    EXPECT_EQ(index.parts[1].position, 65032u + 4028 * 72);
    EXPECT_EQ(index.parts[1].duration, 1u);
    EXPECT_EQ(index.parts[1].entries, 1u);
    for (const auto& part : index.parts) EXPECT_EQ(part.size, 32256u);

    ASSERT_EQ(index.frames.size(), 4029u);
    EXPECT_EQ(index.frames[4028].dataPos, index.parts[1].position + 8 + 32248 + 8);
    for (std::uint32_t i : {0u, 1u, 4027u, 4028u}) {
        EXPECT_EQ(index.frames[i].size, 64u);
        EXPECT_EQ(filestest::ReadAt(path, index.frames[i].dataPos, 64), filestest::MakeFrame(64, i))
            << i;
    }
    const auto chunks = filestest::ListChunks(path);
    EXPECT_EQ(std::count_if(chunks.begin(), chunks.end(), [](auto& c) { return c.id == "ix00"; }),
              2);
    EXPECT_EQ(std::count_if(chunks.begin(), chunks.end(), [](auto& c) { return c.id == "00db"; }),
              4029);
    EXPECT_EQ(chunks.back().position + 8 + 64, std::filesystem::file_size(path));
}

TEST_F(AviLayoutTest, AFileWithoutFramesStaysEmpty) {
    {
        CDcamAviFile avi;
        ASSERT_TRUE(avi.Open(path));
        ASSERT_TRUE(avi.SetFormat(4, 640, 480, 33333, false));
        EXPECT_EQ(std::filesystem::file_size(path), 0u);
        EXPECT_TRUE(avi.Finish());
        EXPECT_FALSE(avi.IsOpen());
    }
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    {
        CDcamAviFile avi;  // destroyed unfinished: it finishes itself
        ASSERT_TRUE(avi.Open(path));
        ASSERT_TRUE(avi.SetFormat(4, 640, 480, 33333, true));
    }
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
}

TEST_F(AviLayoutTest, ProvisionalHeadersFollowTheClockAndNeverChangeTheFinishedFile) {
    const std::uint32_t count = 4029;  // crosses into a second standard index
    std::vector<std::uint8_t> finished[2];
    for (int run = 0; run < 2; ++run) {
        SteppingClock clock{{}, std::chrono::milliseconds(run == 0 ? 0 : 400)};
        const auto file = dir.Path() / ("run" + std::to_string(run) + ".avi");
        CDcamAviFile avi;
        avi.SetClock(clock.Source());
        ASSERT_TRUE(avi.Open(file));
        ASSERT_TRUE(avi.SetFormat(0, 8, 8, 33333, false));
        WriteFrames(avi, 4);
        // After the first frame the totals are on disk; with time passing they keep up.
        const auto total = [&] {
            return LoadLE32(filestest::ReadAt(file, kAvihData + 16, 4).data());
        };
        EXPECT_EQ(total(), run == 0 ? 1u : 4u);  // 400 ms a frame: refreshed at frame 4
        std::vector<std::uint8_t> frame(64);
        for (std::uint32_t i = 4; i < count; ++i) {
            filestest::FillFrame(frame, i);
            ASSERT_EQ(avi.WriteFrame(frame), Result::Written);
        }
        EXPECT_EQ(total(), run == 0 ? 1u : 4027u);
        ASSERT_TRUE(avi.Finish());
        finished[run] = filestest::ReadAll(file);
    }
    EXPECT_EQ(finished[0].size(), finished[1].size());
    EXPECT_TRUE(finished[0] == finished[1]);
}

TEST_F(AviLayoutTest, OddFramesArePaddedToEvenChunks) {
    Record(path, 0, 3, 3, 3);
    const auto chunks = filestest::ListChunks(path);
    ASSERT_EQ(chunks.back().id, "00db");
    EXPECT_EQ(chunks.back().size, 9u);
    EXPECT_EQ(chunks.back().position, 65032u + 2 * 18);
    EXPECT_EQ(std::filesystem::file_size(path), 65032u + 3 * 18);
    EXPECT_EQ(Field(4) + 8, std::filesystem::file_size(path));
}

TEST_F(AviLayoutTest, AFullIndexEndsTheRecordingCleanly) {
    struct SmallIndexAvi : CDcamAviFile {
        using CAviFile::LimitSuperEntries;
    };
    SmallIndexAvi avi;
    avi.LimitSuperEntries(2);
    ASSERT_TRUE(avi.Open(path));
    ASSERT_TRUE(avi.SetFormat(0, 4, 4, 33333, false));
    std::vector<std::uint8_t> frame(16);
    std::uint32_t written = 0;
    for (;; ++written) {
        filestest::FillFrame(frame, written);
        const Result result = avi.WriteFrame(frame);
        if (result != Result::Written) {
            EXPECT_EQ(result, Result::IndexFull);
            break;
        }
    }
    EXPECT_EQ(written, 2 * 4028u);
    EXPECT_EQ(avi.WriteFrame(frame), Result::IndexFull);
    EXPECT_EQ(avi.GetFrameCount(), written);
    EXPECT_TRUE(avi.Finish());
    EXPECT_TRUE(avi.GetErrorText().empty());
    const auto index = filestest::ReadOdmlIndex(path);
    ASSERT_EQ(index.parts.size(), 2u);
    EXPECT_EQ(index.parts[1].duration, 4028u);
    EXPECT_EQ(index.frames.size(), written);
    EXPECT_EQ(filestest::ProbeStream(path)["nb_read_packets"], std::to_string(written));
}

TEST_F(AviLayoutTest, RefusesFormatsThatCannotBeRecorded) {
    CDcamAviFile avi;
    ASSERT_TRUE(avi.Open(path));
    EXPECT_FALSE(avi.SetFormat(2, 0, 480, 33333, false));
    EXPECT_FALSE(avi.SetFormat(2, 640, 0, 33333, true));
    EXPECT_FALSE(avi.SetFormat(2, 640, 480, 0, false));      // a Format 7 packet count read as 0
    EXPECT_FALSE(avi.SetFormat(7, 640, 480, 33333, false));  // no coding to label raw frames
    EXPECT_FALSE(avi.SetFormat(-1, 640, 480, 33333, false));
    EXPECT_FALSE(avi.SetFormat(6, 65535, 65535, 33333, false));  // frames beyond 2 GiB
    EXPECT_NE(avi.GetErrorText().find("colour coding 7"), std::string::npos) << avi.GetErrorText();
    EXPECT_EQ(avi.GetFrameBytes(), 0u);

    ASSERT_TRUE(avi.SetFormat(4, 4, 2, 33333, false));
    const std::vector<std::uint8_t> shortFrame(23), longFrame(30, 0xAB);
    EXPECT_EQ(avi.WriteFrame(shortFrame), Result::BadFrame);
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    EXPECT_EQ(avi.WriteFrame(longFrame), Result::Written);  // a ring slot may be longer
    EXPECT_FALSE(avi.SetFormat(4, 8, 2, 33333, false));     // not once frames are in
    ASSERT_TRUE(avi.Finish());
    EXPECT_EQ(std::filesystem::file_size(path), kFirstFrameData + 24);
    EXPECT_EQ(avi.WriteFrame(longFrame), Result::Failed);  // finished and closed
}

TEST_F(AviLayoutTest, OneWriterRecordsFileAfterFile) {
    Record(dir.Path() / "fresh.avi", 4, 8, 6, 2);
    CDcamAviFile avi;
    for (const char* name : {"first.avi", "second.avi"}) {
        ASSERT_TRUE(avi.Open(dir.Path() / name));
        EXPECT_FALSE(avi.Open(path));  // one file at a time
        ASSERT_TRUE(avi.SetFormat(4, 8, 6, 33333, false)) << avi.GetErrorText();
        WriteFrames(avi, 2);
        EXPECT_EQ(avi.GetFrameCount(), 2u);
        ASSERT_TRUE(avi.Finish());
    }
    EXPECT_FALSE(std::filesystem::exists(path));
    const auto fresh = filestest::ReadAll(dir.Path() / "fresh.avi");
    EXPECT_TRUE(filestest::ReadAll(dir.Path() / "first.avi") == fresh);
    EXPECT_TRUE(filestest::ReadAll(dir.Path() / "second.avi") == fresh);
}

TEST(AviDroppedFrames, CountsGapsBetweenSequenceNumbers) {
    EXPECT_EQ(CDcamAviFile::FramesMissing(5, 6), 0u);
    EXPECT_EQ(CDcamAviFile::FramesMissing(65535, 0), 0u);
    EXPECT_EQ(CDcamAviFile::FramesMissing(5, 8), 2u);
    EXPECT_EQ(CDcamAviFile::FramesMissing(65534, 1), 2u);
    EXPECT_EQ(CDcamAviFile::FramesMissing(9, 9), 0u);

    CDcamAviFile avi;
    EXPECT_EQ(avi.NoteSequence(100), 0u);  // the first frame only sets the reference
    EXPECT_EQ(avi.NoteSequence(101), 0u);
    EXPECT_EQ(avi.NoteSequence(104), 2u);
    avi.RestartSequence();  // a restart jumps to the newest frame
    EXPECT_EQ(avi.NoteSequence(65535), 0u);
    EXPECT_EQ(avi.NoteSequence(0), 0u);
    EXPECT_EQ(avi.NoteSequence(2), 1u);
    EXPECT_EQ(avi.GetDropped(), 3u);
}

}  // namespace
