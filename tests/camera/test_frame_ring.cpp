// The capture thread's frame ring on its own: reads handed to OnFrameReceived as the receive
// loop would, slots and sequence numbers, wake-ups, the recorder hook, and a racing reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "camera/CDcamCaptureThread.h"

namespace {

constexpr std::uint32_t kSlot = 16;

// An isochronous read as the driver answers it: 16 header bytes (status at 4), then the data.
std::vector<std::uint8_t> ReadRecord(std::uint8_t fill, std::size_t bytes = kSlot,
                                     std::uint32_t status = 0) {
    std::vector<std::uint8_t> record(bus::kIsochReadHeaderBytes + bytes, fill);
    bus::SetWord(record, bus::kIsochReadStatusOffset, status);
    return record;
}

class FrameRingTest : public ::testing::Test {
protected:
    // Frame i is filled with byte i.
    void Receive(int frames, int first = 0) {
        for (int i = first; i < first + frames; ++i)
            m_thread.OnFrameReceived(ReadRecord(std::uint8_t(i)));
    }
    // A frame stamped with the bus's cycle time at cycle (taken modulo the stamp's 128 s).
    void ReceiveAt(std::uint64_t cycle) {
        constexpr std::uint64_t kWrap = 128 * 8000;
        std::vector<std::uint8_t> record = ReadRecord(1);
        const std::uint64_t stamp = cycle % kWrap;
        bus::SetWord(record, bus::kIsochReadCycleTimeOffset,
                     std::uint32_t(stamp / 8000) << 25 | std::uint32_t(stamp % 8000) << 12);
        m_thread.OnFrameReceived(record);
    }
    // The fill byte of the slot copied and the slot, or -1s.
    std::pair<int, int> Copy(int slot) {
        std::vector<std::uint8_t> frame(kSlot);
        int copied = -1;
        if (!m_thread.CopyFrame(frame, slot, &copied, nullptr)) return {-1, -1};
        return {frame[0], copied};
    }

    CDcamCaptureThread m_thread;
};

TEST_F(FrameRingTest, BadReadsAreDroppedAndShortOnesLeaveNoOlderBytes) {
    EXPECT_FALSE(m_thread.AllocRing(kSlot, 0));
    EXPECT_FALSE(m_thread.AllocRing(0, 5));
    ASSERT_TRUE(m_thread.AllocRing(kSlot, 2));
    m_thread.OnFrameReceived(ReadRecord(9, kSlot, 0xFFFFFFFF));  // delivered nothing
    m_thread.OnFrameReceived(std::vector<std::uint8_t>(bus::kIsochReadHeaderBytes - 1));
    EXPECT_FALSE(m_thread.HasFrame());
    EXPECT_EQ(m_thread.GetStats().dropped, 2u);

    Receive(2, 0xAA);
    m_thread.OnFrameReceived(ReadRecord(0x55, kSlot / 2));
    std::vector<std::uint8_t> frame(kSlot), expected(kSlot, 0);
    std::fill_n(expected.begin(), kSlot / 2, 0x55);
    ASSERT_TRUE(m_thread.CopyFrame(frame, 0, nullptr, nullptr));
    EXPECT_EQ(frame, expected);
    EXPECT_EQ(m_thread.GetStats().shortFrames, 1u);
    EXPECT_EQ(m_thread.GetSequence(0), 2) << "dropped reads take no sequence number";
    EXPECT_EQ(Copy(5), std::make_pair(0xAB, 1)) << "slot 5 of 2 is slot 1";
    EXPECT_EQ(Copy(-1), std::make_pair(0x55, 0));
    std::vector<std::uint8_t> small(kSlot - 1);
    EXPECT_FALSE(m_thread.CopyFrame(small, 0, nullptr, nullptr));
}

// A free-running camera's frames carry the cycle they started in: missing periods are lost
// frames, a read that delivered nothing counted once among them; with no period (a trigger
// paces the frames) a long gap is no loss.
TEST_F(FrameRingTest, GapsInTheCycleStampsOfAFreeRunningCameraCountAsLost) {
    constexpr double kPeriod = 1600.0 / 3;  // 15 fps
    std::uint64_t cycle = 128 * 8000 - 1000;  // the stamps wrap below
    const auto receive = [&](double periods) {
        cycle += std::uint64_t(std::llround(periods * kPeriod));
        ReceiveAt(cycle);
    };
    m_thread.SetFramePeriod(kPeriod);
    receive(0);
    receive(1);
    receive(4);
    m_thread.OnFrameReceived(ReadRecord(9, kSlot, 0xFFFFFFFF));
    receive(2);
    EXPECT_EQ(m_thread.GetStats().lost, 4u);
    m_thread.SetFramePeriod(0);
    receive(1);
    receive(30);
    EXPECT_EQ(m_thread.GetStats().lost, 4u);
}

// A bus reset may make a node with an unrelated timer cycle master: a stamp that steps back,
// and the first after a reset, count nothing and are the reference for the next gap.
TEST_F(FrameRingTest, AStampThatStepsBackOrFollowsABusResetCountsNothing) {
    constexpr std::uint64_t kPeriod = 800;  // 10 fps
    m_thread.SetFramePeriod(kPeriod);
    std::uint64_t cycle = 50 * 8000;
    ReceiveAt(cycle);
    ReceiveAt(cycle += kPeriod);
    ReceiveAt(cycle -= 3 * 8000);
    EXPECT_EQ(m_thread.GetStats().lost, 0u);
    ReceiveAt(cycle += 3 * kPeriod);
    EXPECT_EQ(m_thread.GetStats().lost, 2u);
    m_thread.NoteBusReset();
    ReceiveAt(cycle += 5 * 8000);
    ReceiveAt(cycle += kPeriod);
    EXPECT_EQ(m_thread.GetStats().lost, 2u);
}

TEST_F(FrameRingTest, SequenceNumbersWrapAfter65536Frames) {
    ASSERT_TRUE(m_thread.AllocRing(kSlot, 3));
    const std::vector<std::uint8_t> record = ReadRecord(1);
    for (int i = 0; i < 65536; ++i) m_thread.OnFrameReceived(record);
    const int last = m_thread.Ring()->NewestSlot();
    EXPECT_EQ(m_thread.GetSequence(last), 65535);
    m_thread.OnFrameReceived(record);
    EXPECT_EQ(m_thread.GetSequence(m_thread.Ring()->NewestSlot()), 0);
}

TEST_F(FrameRingTest, EachSlotKeepsWhenItsFrameArrived) {
    ASSERT_TRUE(m_thread.AllocRing(kSlot, 3));
    const auto now = [] {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    std::int64_t before[2], after[2];
    for (int i = 0; i < 2; ++i) {
        before[i] = now();
        Receive(1, i);
        after[i] = now();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // An older frame copied out keeps its own moment, not the newest one's.
    std::vector<std::uint8_t> frame(kSlot);
    for (int slot = 0; slot < 2; ++slot) {
        std::int64_t arrival = 0;
        ASSERT_TRUE(
            m_thread.Ring()->Copy(frame.data(), frame.size(), slot, nullptr, nullptr, &arrival));
        EXPECT_GE(arrival, before[slot]);
        EXPECT_LE(arrival, after[slot]);
    }
}

TEST_F(FrameRingTest, ReadErrorsAndFramesWakeWaiters) {
    ASSERT_TRUE(m_thread.AllocRing(kSlot, 4));
    FrameRing& ring = *m_thread.Ring();
    Receive(1);
    EXPECT_EQ(ring.WaitForFrame(0), -1) << "frames signal nobody until asked to";
    ring.SetSignalPerFrame(true);
    Receive(1, 1);
    EXPECT_EQ(ring.WaitForFrame(FrameRing::kWaitForever), 1);

    std::atomic<int> woken{-2};
    std::thread waiter([&] { woken = ring.WaitForFrame(FrameRing::kWaitForever); });
    ring.OnReadError();
    waiter.join();
    EXPECT_EQ(woken, -1) << "woken with no frame";
    EXPECT_EQ(Copy(-1).first, -1);
}

class CountingSink : public FrameSink {
public:
    explicit CountingSink(int* stops) : m_pStops(stops) {}
    platform::Event& FrameReady() override { return m_ready; }
    void Stop() override { ++*m_pStops; }

private:
    platform::Event m_ready{platform::EventMode::ManualReset};
    int* m_pStops;
};

TEST_F(FrameRingTest, ASinkHearsOfFramesWhileRecordingAndIsStoppedAtTheEnd) {
    ASSERT_TRUE(m_thread.AllocRing(kSlot, 4));
    int stops = 0;
    auto owned = std::make_unique<CountingSink>(&stops);
    platform::Event& ready = owned->FrameReady();
    ASSERT_TRUE(m_thread.AttachSink(std::move(owned)));
    EXPECT_FALSE(m_thread.AttachSink(std::make_unique<CountingSink>(&stops)));
    Receive(1);
    EXPECT_FALSE(ready.IsSet()) << "not recording yet";
    m_thread.SetRecording(true);
    Receive(1);
    EXPECT_TRUE(ready.IsSet());
    const std::unique_ptr<FrameSink> back = m_thread.DetachSink();
    EXPECT_EQ(stops, 1);
    EXPECT_FALSE(m_thread.IsRecording());

    {
        CDcamCaptureThread ending;
        ASSERT_TRUE(ending.AttachSink(std::make_unique<CountingSink>(&stops)));
    }
    EXPECT_EQ(stops, 2);
}

TEST_F(FrameRingTest, ReadersNeverSeeATornFrame) {
    constexpr std::uint32_t kBig = 64 * 1024;
    constexpr int kFrames = 3000;
    ASSERT_TRUE(m_thread.AllocRing(kBig, 3));
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < kFrames; ++i)
            m_thread.OnFrameReceived(ReadRecord(std::uint8_t(i), kBig));
        done = true;
    });
    std::vector<std::uint8_t> frame(kBig);
    while (!done) {
        std::uint16_t sequence = 0;
        if (!m_thread.CopyFrame(frame, -1, nullptr, &sequence)) continue;
        ASSERT_EQ(frame.front(), std::uint8_t(sequence));
        ASSERT_EQ(std::count(frame.begin(), frame.end(), frame.front()), std::ptrdiff_t(kBig));
    }
    writer.join();
    EXPECT_EQ(m_thread.GetStats().stored, std::uint64_t(kFrames));
}

// A borrowed frame stays as it was while the ring comes round over its slot many times; loans
// stop at the spares, and a buffer handed back serves again.
TEST_F(FrameRingTest, ALentFrameIsNeverOverwrittenAndTheSparesBoundTheLoans) {
    ASSERT_TRUE(m_thread.AllocRing(kSlot, 2));
    FrameRing& ring = *m_thread.Ring();
    Receive(2);
    EXPECT_FALSE(ring.Lend(0, 0)) << "no spares, no loans";
    ASSERT_TRUE(ring.AddSpares(1));
    EXPECT_FALSE(ring.Lend(0, 1)) << "slot 0 holds frame 0, not 1";
    const auto loan = ring.Lend(0, 0);
    ASSERT_TRUE(loan);
    EXPECT_FALSE(ring.Lend(1, 1)) << "the one spare is spoken for";
    Receive(5, 2);
    EXPECT_EQ(std::count(loan->data, loan->data + kSlot, 0), std::ptrdiff_t(kSlot));
    EXPECT_EQ(Copy(5), std::make_pair(5, 1));
    EXPECT_EQ(Copy(6), std::make_pair(6, 0));
    ring.Return(*loan);
    EXPECT_EQ(ring.LentCount(), 0);
    const auto again = ring.Lend(1, 5);
    ASSERT_TRUE(again);
    Receive(4, 7);
    EXPECT_EQ(again->data[0], 5);
    // Freed while lent: the bytes stay until the last loan comes back, which releases them.
    ring.Free();
    EXPECT_EQ(again->data[kSlot - 1], 5);
    ring.Return(*again);
    EXPECT_EQ(ring.LentCount(), 0);
}

}  // namespace
