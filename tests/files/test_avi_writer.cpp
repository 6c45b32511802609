// The recorder's writer thread on a frame ring fed by the test: what a start, a pause and a frame
// limit let in and the frame that reaches it, a ring that laps the writer, the 16-bit sequence
// wrap and refused set-ups.
#include <gtest/gtest.h>

#include <thread>

#include "files/CDcamAviWriter.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

using namespace std::chrono_literals;
using files::CDcamAviWriter;

// Mono 8 frames of 4 x 2 pixels: the 4-byte counter and 4 more bytes.
constexpr int kMono8 = 0;
constexpr int kWidth = 4;
constexpr int kHeight = 2;
constexpr std::uint32_t kFrameBytes = kWidth * kHeight;

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class AviWriterTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(ring->Alloc(kFrameBytes, 4)); }

    bool Open(CDcamAviWriter& w, int coding = kMono8) {
        return w.Open(path, {coding, kWidth, kHeight, 33333, false}, ring, FrameConverter());
    }
    // The writer hears of every stored frame, as it does when attached to a capture.
    bool OpenSignalled() {
        ring->SetRecordingEvent(&writer.FrameReady());
        return Open(writer);
    }
    void Store(std::uint32_t counter) { ring->Store(filestest::MakeFrame(kFrameBytes, counter)); }
    void StoreAndWait(std::uint32_t counter) {
        const std::uint32_t before = writer.GetFrameCount();
        Store(counter);
        ASSERT_TRUE(WaitUntil([&] { return writer.GetFrameCount() > before; })) << counter;
    }
    std::vector<std::uint32_t> CountersInFile() const {
        std::vector<std::uint32_t> counters;
        filestest::ForEachFrame(path, kFrameBytes, [&](auto frame) {
            counters.push_back(platform::LoadBE32(frame.data()));
        });
        return counters;
    }

    testsupport::TempDir dir{"kestrix-avi-writer"};
    std::filesystem::path path = dir.Path() / "ring.avi";
    std::shared_ptr<FrameRing> ring = std::make_shared<FrameRing>();
    CDcamAviWriter writer;
};

TEST_F(AviWriterTest, RecordsTheFramesStoredWhileRecording) {
    Store(0);  // before the file: never recorded
    ASSERT_TRUE(OpenSignalled());
    Store(1);  // while paused
    ASSERT_TRUE(writer.Start());
    for (std::uint32_t i = 2; i <= 4; ++i) StoreAndWait(i);
    writer.Pause();
    Store(5);
    Store(6);
    // A restart takes up with the next frame, and the frames skipped while paused are no loss.
    ASSERT_TRUE(writer.Start());
    StoreAndWait(7);
    // A limit pauses by itself.
    writer.Pause();
    ASSERT_TRUE(writer.Start(2));
    for (std::uint32_t i = 8; i <= 10; ++i) Store(i);
    ASSERT_TRUE(WaitUntil([&] { return !writer.IsRecording(); }));
    writer.Stop();

    EXPECT_TRUE(writer.Succeeded()) << writer.GetErrorText();
    EXPECT_EQ(writer.GetDropped(), 0u);
    EXPECT_EQ(writer.GetFrameCount(), 6u);
    EXPECT_EQ(CountersInFile(), (std::vector<std::uint32_t>{2, 3, 4, 7, 8, 9}));
    EXPECT_FALSE(writer.Start()) << "a stopped writer takes nothing more";
    EXPECT_EQ(ring.use_count(), 1) << "a stopped writer still holds the ring";
}

TEST_F(AviWriterTest, ARingThatLapsTheWriterShowsAsDroppedFrames) {
    // No signal: the writer only looks every poll interval, long after this burst is over.
    ASSERT_TRUE(Open(writer));
    ASSERT_TRUE(writer.Start());
    for (std::uint32_t i = 0; i < 10; ++i) Store(i);
    ASSERT_TRUE(WaitUntil([&] { return writer.GetFrameCount() + writer.GetDropped() == 10; }));
    writer.Stop();

    // Never a frame twice or out of order, whatever slots the writer found overwritten.
    const auto counters = CountersInFile();
    ASSERT_EQ(counters.size(), writer.GetFrameCount());
    ASSERT_GE(counters.size(), 4u) << "the four frames still held";
    for (std::size_t i = 1; i < counters.size(); ++i) EXPECT_LT(counters[i - 1], counters[i]);
    EXPECT_EQ(counters.back(), 9u);
}

// The frame that fills a limit is the file's last, also when the ring lapped the writer first.
TEST_F(AviWriterTest, AFrameLimitNamesTheFrameThatReachedIt) {
    ASSERT_TRUE(Open(writer));
    ASSERT_TRUE(writer.Start(3));
    EXPECT_EQ(writer.GetLimitSequence(), -1);
    for (std::uint32_t i = 0; i < 10; ++i) Store(i);
    ASSERT_TRUE(WaitUntil([&] { return !writer.IsRecording(); }));
    writer.Stop();
    const auto counters = CountersInFile();
    ASSERT_EQ(counters.size(), 3u);
    // The ring numbers its frames from 0, as the test counts them.
    EXPECT_EQ(writer.GetLimitSequence(), int(counters.back()));
}

TEST_F(AviWriterTest, TheSequenceWrapIsNoDrop) {
    for (std::uint32_t i = 0; i < 65533; ++i) Store(i);
    ASSERT_TRUE(OpenSignalled());
    ASSERT_TRUE(writer.Start());
    for (std::uint32_t i = 65533; i < 65541; ++i) StoreAndWait(i);
    writer.Stop();
    EXPECT_EQ(writer.GetDropped(), 0u);
    const auto counters = CountersInFile();
    ASSERT_EQ(counters.size(), 8u);
    for (std::size_t i = 0; i < counters.size(); ++i) EXPECT_EQ(counters[i], 65533 + i);
}

TEST_F(AviWriterTest, RefusedSetUpsLeaveNoFile) {
    EXPECT_FALSE(writer.Start()) << "nothing open";
    // 4 x 2 RGB frames do not fit the ring's 8-byte slots.
    EXPECT_FALSE(Open(writer, 4));
    EXPECT_FALSE(writer.GetErrorText().empty());
    EXPECT_EQ(filestest::EntriesIn(dir.Path()), 0u);

    // Opened and stopped without a frame: an empty file, and a second file is refused.
    CDcamAviWriter unused;
    ASSERT_TRUE(Open(unused));
    unused.Stop();
    EXPECT_TRUE(unused.Succeeded());
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    EXPECT_FALSE(Open(unused));
}

}  // namespace
