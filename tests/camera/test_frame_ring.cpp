// The capture thread's frame ring on its own: frames handed to OnFrameReceived as the receive
// loop would, slots and sequence numbers, copies out, wake-ups, and a reader racing the writer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "bus/DriverRecords.h"
#include "camera/CDcamCaptureThread.h"

namespace {

constexpr std::uint32_t kSlotSize = 16;
constexpr std::uint32_t kNothingDelivered = 0xFFFFFFFF;

// An isochronous read record as the driver answers it: 16 header bytes, then the data.
std::vector<std::uint8_t> ReadRecord(std::uint8_t fill, std::size_t bytes = kSlotSize,
                                     std::uint32_t status = 0) {
    std::vector<std::uint8_t> record(bus::kIsochReadHeaderBytes + bytes, fill);
    bus::SetWord(record, 0, 0x100);
    bus::SetWord(record, bus::kIsochReadStatusOffset, status == 0 ? std::uint32_t(bytes) : status);
    bus::SetWord(record, 8, std::uint32_t(bytes));
    bus::SetWord(record, 12, 0);
    return record;
}

class FrameRingTest : public ::testing::Test {
protected:
    // Frame i is filled with byte i.
    void Receive(int frames, int first = 0) {
        for (int i = first; i < first + frames; ++i)
            m_thread.OnFrameReceived(ReadRecord(std::uint8_t(i)));
    }
    // The fill byte of the slot copied, and the slot.
    std::pair<int, int> Copy(int slot) {
        std::vector<std::uint8_t> frame(kSlotSize);
        int copied = -1;
        if (!m_thread.CopyFrame(frame, slot, &copied, nullptr)) return {-1, -1};
        return {frame[0], copied};
    }

    CDcamCaptureThread m_thread;
};

TEST_F(FrameRingTest, RefusesRingsThatHoldNothing) {
    EXPECT_FALSE(m_thread.AllocRing(0, 5));
    EXPECT_FALSE(m_thread.AllocRing(kSlotSize, 0));
    EXPECT_FALSE(m_thread.AllocRing(kSlotSize, -3));
    EXPECT_EQ(m_thread.GetSlotCount(), 0);
    // Frames for a capture without a ring are dropped, not stored somewhere.
    Receive(1);
    EXPECT_FALSE(m_thread.HasFrame());
    EXPECT_EQ(m_thread.GetStats().dropped, 1u);
}

TEST_F(FrameRingTest, FiveSlotsAfterSevenFrames) {
    ASSERT_TRUE(m_thread.AllocRing(kSlotSize, 5));
    EXPECT_EQ(Copy(-1).first, -1) << "no frame before the first one";
    Receive(7);
    EXPECT_EQ(m_thread.GetWriteIndex(), 2);
    EXPECT_EQ(m_thread.Ring()->NewestSlot(), 1);
    EXPECT_EQ(Copy(-1), std::make_pair(6, 1));
    // Slot 7 is slot 2, the oldest frame held.
    EXPECT_EQ(Copy(7), std::make_pair(2, 2));
    EXPECT_EQ(m_thread.GetSequence(2), 2);
    EXPECT_EQ(m_thread.GetSequence(1), 6);
    EXPECT_EQ(m_thread.GetStats().stored, 7u);
}

TEST_F(FrameRingTest, TwoSlotsAlternate) {
    ASSERT_TRUE(m_thread.AllocRing(kSlotSize, 2));
    Receive(3);
    EXPECT_EQ(m_thread.GetWriteIndex(), 1);
    EXPECT_EQ(Copy(0).first, 2);
    EXPECT_EQ(Copy(1).first, 1);
    EXPECT_EQ(Copy(-1), std::make_pair(2, 0));
}

TEST_F(FrameRingTest, ANewRingStartsEmpty) {
    ASSERT_TRUE(m_thread.AllocRing(kSlotSize, 3));
    Receive(4);
    ASSERT_TRUE(m_thread.AllocRing(kSlotSize * 2, 4));
    EXPECT_FALSE(m_thread.HasFrame());
    EXPECT_EQ(m_thread.GetWriteIndex(), 0);
    EXPECT_EQ(m_thread.Ring()->GetNextSequence(), 0);
    m_thread.FreeRing();
    EXPECT_EQ(m_thread.GetSlotCount(), 0);
    EXPECT_EQ(Copy(0).first, -1);
}

TEST_F(FrameRingTest, DropsReadsThatDeliveredNothing) {
    ASSERT_TRUE(m_thread.AllocRing(kSlotSize, 3));
    m_thread.OnFrameReceived(ReadRecord(9, kSlotSize, kNothingDelivered));
    m_thread.OnFrameReceived(std::vector<std::uint8_t>(bus::kIsochReadHeaderBytes - 1));
    EXPECT_FALSE(m_thread.HasFrame());
    EXPECT_EQ(m_thread.GetWriteIndex(), 0);
    EXPECT_EQ(m_thread.GetStats().dropped, 2u);
    Receive(1);
    EXPECT_EQ(m_thread.GetSequence(0), 0) << "a dropped frame takes no sequence number";
}

TEST_F(FrameRingTest, AShortFrameLeavesNoOlderBytesBehind) {
    ASSERT_TRUE(m_thread.AllocRing(kSlotSize, 1));
    Receive(1, 0xAA);
    m_thread.OnFrameReceived(ReadRecord(0x55, kSlotSize / 2));
    std::vector<std::uint8_t> frame(kSlotSize, 0xFF);
    ASSERT_TRUE(m_thread.CopyFrame(frame, 0, nullptr, nullptr));
    std::vector<std::uint8_t> expected(kSlotSize, 0);
    std::fill_n(expected.begin(), kSlotSize / 2, 0x55);
    EXPECT_EQ(frame, expected);
    EXPECT_EQ(m_thread.GetStats().shortFrames, 1u);
    // A longer delivery is cut to the slot.
    m_thread.OnFrameReceived(ReadRecord(0x33, kSlotSize * 2));
    EXPECT_EQ(Copy(0).first, 0x33);
}

TEST_F(FrameRingTest, CopyNeedsRoomForASlot) {
    ASSERT_TRUE(m_thread.AllocRing(kSlotSize, 2));
    Receive(1);
    std::vector<std::uint8_t> small(kSlotSize - 1);
    EXPECT_FALSE(m_thread.CopyFrame(small, 0, nullptr, nullptr));
    EXPECT_FALSE(m_thread.CopyFrame(nullptr, 0, nullptr));
}

TEST_F(FrameRingTest, SequenceNumbersWrapAfter65536Frames) {
    ASSERT_TRUE(m_thread.AllocRing(kSlotSize, 3));
    const std::vector<std::uint8_t> record = ReadRecord(1);
    for (int i = 0; i < 65536; ++i) m_thread.OnFrameReceived(record);
    const int last = m_thread.Ring()->NewestSlot();
    EXPECT_EQ(m_thread.GetSequence(last), 65535);
    m_thread.OnFrameReceived(record);
    EXPECT_EQ(m_thread.GetSequence(m_thread.Ring()->NewestSlot()), 0);
    EXPECT_EQ(m_thread.GetSequence(last), 65535);
}

TEST_F(FrameRingTest, WaitersWakeForFramesOnlyWhenAsked) {
    ASSERT_TRUE(m_thread.AllocRing(kSlotSize, 4));
    FrameRing& ring = *m_thread.Ring();
    Receive(1);
    EXPECT_EQ(ring.WaitForFrame(0), -1) << "frames signal nobody until signalling is on";
    ring.SetSignalPerFrame(true);
    Receive(2, 1);
    EXPECT_EQ(ring.WaitForFrame(FrameRing::kWaitForever), 2);
    ring.ResetFrameEvent();
    EXPECT_EQ(ring.WaitForFrame(0), -1);
}

TEST_F(FrameRingTest, AReadErrorWakesAWaiterWithNoFrame) {
    ASSERT_TRUE(m_thread.AllocRing(kSlotSize, 4));
    FrameRing& ring = *m_thread.Ring();
    Receive(2);
    std::atomic<int> result{-2};
    std::thread waiter([&] { result = ring.WaitForFrame(FrameRing::kWaitForever); });
    ring.OnReadError();
    waiter.join();
    EXPECT_EQ(result, -1);
    EXPECT_FALSE(ring.HasFrame());
    EXPECT_EQ(Copy(-1).first, -1);
    EXPECT_EQ(ring.GetStats().readErrors, 1u);
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

TEST_F(FrameRingTest, ASinkHearsOfFramesWhileRecording) {
    ASSERT_TRUE(m_thread.AllocRing(kSlotSize, 4));
    int stops = 0;
    auto sink = std::make_unique<CountingSink>(&stops);
    platform::Event& ready = sink->FrameReady();
    m_thread.SetRecording(true);
    EXPECT_FALSE(m_thread.IsRecording()) << "no recording without a sink";
    ASSERT_TRUE(m_thread.AttachSink(std::move(sink)));
    EXPECT_FALSE(m_thread.AttachSink(std::make_unique<CountingSink>(&stops)));
    Receive(1);
    EXPECT_FALSE(ready.IsSet()) << "paused";
    m_thread.SetRecording(true);
    Receive(1, 1);
    EXPECT_TRUE(ready.IsSet());

    std::unique_ptr<FrameSink> back = m_thread.DetachSink();
    EXPECT_EQ(stops, 1);
    EXPECT_FALSE(m_thread.IsRecording());
    ready.Reset();
    Receive(1, 2);
    EXPECT_FALSE(ready.IsSet());
}

TEST(FrameRingOwnership, TheThreadStopsItsSinkWhenItGoes) {
    int stops = 0;
    {
        CDcamCaptureThread thread;
        ASSERT_TRUE(thread.AttachSink(std::make_unique<CountingSink>(&stops)));
    }
    EXPECT_EQ(stops, 1);
}

TEST_F(FrameRingTest, ReadersNeverSeeATornFrame) {
    constexpr std::uint32_t kBig = 64 * 1024;
    constexpr int kFrames = 3000;
    ASSERT_TRUE(m_thread.AllocRing(kBig, 3));
    std::atomic<bool> done{false};
    std::thread writer([&] {
        std::vector<std::uint8_t> record;
        for (int i = 0; i < kFrames; ++i) {
            record = ReadRecord(std::uint8_t(i), kBig);
            m_thread.OnFrameReceived(record);
        }
        done = true;
    });
    std::vector<std::uint8_t> frame(kBig);
    int copies = 0;
    while (!done) {
        std::uint16_t sequence = 0;
        if (!m_thread.CopyFrame(frame, -1, nullptr, &sequence)) continue;
        ++copies;
        ASSERT_EQ(frame.front(), std::uint8_t(sequence));
        ASSERT_EQ(std::count(frame.begin(), frame.end(), frame.front()), std::ptrdiff_t(kBig));
    }
    writer.join();
    EXPECT_EQ(m_thread.GetStats().stored, std::uint64_t(kFrames));
    RecordProperty("copies", copies);
}

}  // namespace
