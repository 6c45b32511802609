// FrameStream read straight from a FrameRing: frames in order with their metadata, the ring
// overtaking the reader, Newest, lending without a spare, short frames, the 16-bit sequence
// wrapping, and the rule by which a stream ends.
#include "session/FrameStream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using kestrix::session::Error;
using kestrix::session::FrameMetadata;
using kestrix::session::FrameStream;
using kestrix::session::LentFrame;
using Status = FrameStream::Status;
using namespace std::chrono_literals;

constexpr std::uint32_t kSlot = 16;

std::shared_ptr<FrameRing> MakeRing(int slots) {
    auto ring = std::make_shared<FrameRing>();
    EXPECT_TRUE(ring->Alloc(kSlot, slots));
    return ring;
}

void Store(FrameRing& ring, std::uint8_t mark, std::size_t bytes = kSlot, std::uint32_t cycle = 0) {
    std::vector<std::uint8_t> frame(bytes, mark);
    ring.Store(frame, cycle);
}

TEST(FrameStream, NextGivesEveryFrameInOrderAndCountsWhatTheRingOverwrote) {
    auto ring = MakeRing(4);
    Store(*ring, 0xEE);  // before the stream: not its frame
    FrameStream stream(ring, kSlot);
    std::vector<std::uint8_t> dst(kSlot);
    FrameMetadata meta;
    EXPECT_EQ(stream.Next(dst, meta, 0ms), Status::Timeout);

    for (std::uint8_t i = 1; i <= 3; ++i) Store(*ring, i, kSlot, 0x1000u * i);
    for (std::uint8_t i = 1; i <= 3; ++i) {
        ASSERT_EQ(stream.Next(dst, meta, 0ms), Status::Frame);
        EXPECT_EQ(dst[0], i);
        EXPECT_EQ(meta.sequence, i - 1u);
        EXPECT_EQ(meta.cycleTime, 0x1000u * i);
        EXPECT_EQ(meta.droppedBefore, 0u);
    }
    // Six more into four slots: the first two are gone before the reader comes.
    for (std::uint8_t i = 4; i <= 9; ++i) Store(*ring, i);
    ASSERT_EQ(stream.Next(dst, meta, 0ms), Status::Frame);
    EXPECT_EQ(dst[0], 6);
    EXPECT_EQ(meta.droppedBefore, 2u);
    EXPECT_EQ(meta.sequence, 5u);

    // Lost frames (never stored) show in the sequence and in lostBefore.
    for (int i = 7; i <= 9; ++i) ASSERT_EQ(stream.Next(dst, meta, 0ms), Status::Frame);
    ring->CountLost(3);
    Store(*ring, 10);
    ASSERT_EQ(stream.Next(dst, meta, 0ms), Status::Frame);
    EXPECT_EQ(dst[0], 10);
    EXPECT_EQ(meta.lostBefore, 3u);
    EXPECT_EQ(meta.sequence, 9u + 3u);
    const auto counters = stream.Counters();
    EXPECT_EQ(counters.received, 10u);
    EXPECT_EQ(counters.delivered, 8u);
    EXPECT_EQ(counters.dropped, 2u);
    EXPECT_EQ(counters.lost, 3u);
}

TEST(FrameStream, NewestSkipsWithoutCountingDrops) {
    auto ring = MakeRing(8);
    FrameStream stream(ring, kSlot);
    for (std::uint8_t i = 1; i <= 5; ++i) Store(*ring, i);
    std::vector<std::uint8_t> dst(kSlot);
    FrameMetadata meta;
    ASSERT_EQ(stream.Newest(dst, meta, 0ms), Status::Frame);
    EXPECT_EQ(dst[0], 5);
    EXPECT_EQ(meta.sequence, 4u);
    EXPECT_EQ(stream.Counters().dropped, 0u);
    EXPECT_EQ(stream.Newest(dst, meta, 0ms), Status::Timeout);
}

TEST(FrameStream, AShortFrameIsDeliveredFlaggedAndNeverCountedLost) {
    auto ring = MakeRing(4);
    FrameStream stream(ring, kSlot);
    Store(*ring, 7, kSlot / 2);
    Store(*ring, 8);
    std::vector<std::uint8_t> dst(kSlot);
    FrameMetadata meta;
    ASSERT_EQ(stream.Next(dst, meta, 0ms), Status::Frame);
    EXPECT_TRUE(meta.Short());
    EXPECT_EQ(dst[kSlot / 2 - 1], 7);
    EXPECT_EQ(dst[kSlot / 2], 0);  // the missing tail is zeroed
    ASSERT_EQ(stream.Next(dst, meta, 0ms), Status::Frame);
    EXPECT_FALSE(meta.Short());
    EXPECT_EQ(meta.sequence, 1u);
    const auto counters = stream.Counters();
    EXPECT_EQ(counters.shortFrames, 1u);
    EXPECT_EQ(counters.lost, 0u);
    EXPECT_EQ(counters.delivered, 2u);
}

TEST(FrameStream, LendingWithNoSpareLeftLeavesTheFrameForACopy) {
    auto ring = MakeRing(4);
    ASSERT_TRUE(ring->AddSpares(1));
    FrameStream stream(ring, kSlot);
    Store(*ring, 1);
    Store(*ring, 2);
    std::unique_ptr<LentFrame> first, second;
    FrameMetadata meta;
    ASSERT_EQ(stream.Lend(first, meta, 0ms), Status::Frame);
    EXPECT_EQ(first->Bytes()[0], 1);
    EXPECT_EQ(stream.Lend(second, meta, 0ms), Status::NoSpare);
    std::vector<std::uint8_t> dst(kSlot);
    ASSERT_EQ(stream.Next(dst, meta, 0ms), Status::Frame);
    EXPECT_EQ(dst[0], 2);
    // The lent frame stays as it was while the ring goes round, and comes back when dropped.
    for (std::uint8_t i = 3; i < 12; ++i) Store(*ring, i);
    EXPECT_EQ(first->Bytes()[0], 1);
    first.reset();
    EXPECT_EQ(ring->LentCount(), 0);
}

TEST(FrameStream, TheSequenceRunsOnPastTheRingsSixteenBits) {
    auto ring = MakeRing(4);
    FrameStream stream(ring, kSlot);
    std::vector<std::uint8_t> dst(kSlot);
    FrameMetadata meta;
    constexpr std::uint64_t kFrames = 65536 + 10;
    for (std::uint64_t i = 0; i < kFrames; ++i) {
        Store(*ring, std::uint8_t(i));
        ASSERT_EQ(stream.Next(dst, meta, 0ms), Status::Frame);
        ASSERT_EQ(meta.sequence, i);
        ASSERT_EQ(dst[0], std::uint8_t(i));
    }
    EXPECT_EQ(stream.Counters().dropped, 0u);
}

TEST(FrameStream, AFrameOverwrittenWhileBeingReadIsNeverHandedOutAsAnother) {
    auto ring = MakeRing(2);
    FrameStream stream(ring, kSlot);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) {
            std::vector<std::uint8_t> frame(kSlot);
            for (std::uint32_t b = 0; b < kSlot; b += 4) std::memcpy(&frame[b], &i, 4);
            ring->Store(frame);
        }
        done = true;
    });
    std::vector<std::uint8_t> dst(kSlot);
    FrameMetadata meta;
    std::uint64_t last = 0;
    bool first = true;
    for (;;) {
        if (stream.Next(dst, meta, 10ms) != Status::Frame) {
            if (done) break;
            continue;
        }
        int value = 0;
        std::memcpy(&value, dst.data(), 4);
        // Every word of the copy is the same frame, and the frame is the one its number says.
        for (std::uint32_t b = 4; b < kSlot; b += 4) ASSERT_EQ(std::memcmp(&dst[b], &value, 4), 0);
        ASSERT_EQ(std::uint64_t(value), meta.sequence);
        ASSERT_TRUE(first || meta.sequence > last);
        first = false;
        last = meta.sequence;
    }
    writer.join();
    const auto counters = stream.Counters();
    EXPECT_EQ(counters.delivered + counters.dropped, last + 1);
}

struct FakeBus {
    std::atomic<std::uint64_t> resets{0}, changes{0};
    std::atomic<bool> answers{true};
    FrameStream::Bus Bus() {
        return {[this] { return resets.load(); }, [this] { return changes.load(); },
                [this] { return answers.load(); }, true, {}};
    }
};

TEST(FrameStream, EndsOnTheBusNoticesByOneRule) {
    std::vector<std::uint8_t> dst(kSlot);
    FrameMetadata meta;
    {
        // A device change ends it at once, as an unplug.
        FakeBus bus;
        auto ring = MakeRing(4);
        FrameStream stream(ring, kSlot, bus.Bus());
        bus.changes = 1;
        EXPECT_EQ(stream.Next(dst, meta, 5s), Status::Ended);
        EXPECT_EQ(stream.EndReason().GetKind(), Error::Kind::Unplugged);
    }
    {
        // A reset waits for the unplug's notice that may follow, then ends as a reset.
        FakeBus bus;
        auto ring = MakeRing(4);
        FrameStream stream(ring, kSlot, bus.Bus());
        Store(*ring, 1);
        bus.resets = 1;
        EXPECT_EQ(stream.Next(dst, meta, 0ms), Status::Frame);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(stream.Next(dst, meta, 10s), Status::Ended);
        EXPECT_GE(std::chrono::steady_clock::now() - start, FrameStream::kNoticeGrace / 2);
        EXPECT_EQ(stream.EndReason().GetKind(), Error::Kind::BusReset);
    }
    {
        // Failed reads followed by a device change within the grace: an unplug.
        FakeBus bus;
        auto ring = MakeRing(4);
        FrameStream stream(ring, kSlot, bus.Bus());
        ring->OnReadError();
        EXPECT_EQ(stream.Next(dst, meta, 0ms), Status::Timeout);
        bus.changes = 1;
        EXPECT_EQ(stream.Next(dst, meta, 10s), Status::Ended);
        EXPECT_EQ(stream.EndReason().GetKind(), Error::Kind::Unplugged);
    }
    {
        // Silence with a driver that does not answer.
        FakeBus bus;
        auto ring = MakeRing(4);
        FrameStream stream(ring, kSlot, bus.Bus());
        bus.answers = false;
        EXPECT_EQ(stream.Next(dst, meta, 10s), Status::Ended);
        EXPECT_EQ(stream.EndReason().GetKind(), Error::Kind::DriverGone);
    }
    {
        // A stop is an end without an error; Interrupt wins while on.
        auto ring = MakeRing(4);
        FrameStream stream(ring, kSlot);
        stream.Interrupt(true);
        EXPECT_EQ(stream.Next(dst, meta), Status::Interrupted);
        stream.Interrupt(false);
        std::thread stopper([&] { stream.Stop(); });
        EXPECT_EQ(stream.Next(dst, meta), Status::Ended);
        stopper.join();
        EXPECT_FALSE(stream.EndReason());
    }
}

}  // namespace
