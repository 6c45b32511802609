// Frame sets from streams fed by hand: frames paired by cycle time across the 128 s wrap, a
// camera that starts a frame late, and one lost frame making exactly one incomplete set.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "session/StreamGroup.h"

namespace {

using namespace kestrix::session;
using namespace std::chrono_literals;

constexpr std::int64_t kPeriod = 400;  // cycles: 20 fps
constexpr std::uint32_t kFrameBytes = 64;

std::uint32_t CycleTime(std::int64_t cycles) {
    return std::uint32_t((cycles / 8000) % 128) << 25 | std::uint32_t(cycles % 8000) << 12;
}

struct Feed {
    Feed() {
        EXPECT_TRUE(ring->Alloc(kFrameBytes, 64));
        stream = std::make_shared<FrameStream>(ring, kFrameBytes);
    }
    void Send(std::uint8_t number, std::int64_t cycles) {
        std::vector<std::uint8_t> frame(kFrameBytes, number);
        ring->Store(frame, CycleTime(cycles));
    }
    std::shared_ptr<FrameRing> ring = std::make_shared<FrameRing>();
    std::shared_ptr<FrameStream> stream;
};

TEST(StreamGroup, PairsByCycleAcrossTheWrapWithOneIncompleteSetPerLostFrame) {
    Feed a, b;
    // Frame 20 comes in the 128 s wrap; camera 1 starts a frame later than camera 0, three
    // cycles behind it, and loses its frame 25.
    const std::int64_t start = 128 * 8000 - 20 * kPeriod;
    for (int k = 0; k < 40; ++k) {
        a.Send(std::uint8_t(k), start + k * kPeriod);
        if (k == 25) b.ring->CountLost(1);
        if (k >= 1 && k != 25) b.Send(std::uint8_t(k), start + k * kPeriod + 3);
    }

    StreamGroup group({a.stream, b.stream}, double(kPeriod));
    FrameSet set;
    std::vector<int> incomplete;
    int sets = 0;
    while (group.Next(set, 0ms) == FrameStream::Status::Frame) {
        ASSERT_EQ(set.members.size(), 2u);
        ASSERT_TRUE(set.members[0].present);
        const int k = set.members[0].bytes[0];
        EXPECT_EQ(set.index, std::uint64_t(sets));
        EXPECT_EQ(set.cycleTime, CycleTime(start + k * kPeriod));
        if (set.Complete()) {
            EXPECT_EQ(set.members[1].bytes[0], k);
            EXPECT_EQ(set.skewCycles, 3u);
        } else {
            incomplete.push_back(k);
            EXPECT_EQ(set.skewCycles, 0u);
        }
        ++sets;
    }
    EXPECT_EQ(sets, 39);  // frames 1 to 39: camera 0's first has no partner yet
    EXPECT_EQ(incomplete, std::vector<int>{25});
    const StreamGroup::Counters counters = group.GetCounters();
    EXPECT_EQ(counters.sets, 39u);
    EXPECT_EQ(counters.incomplete, 1u);
    EXPECT_EQ(counters.missing, (std::vector<std::uint64_t>{0, 1}));
    EXPECT_EQ(counters.maxSkewCycles, 3u);

    b.stream->Stop();
    EXPECT_EQ(group.Next(set, 0ms), FrameStream::Status::Ended);
}

TEST(StreamGroup, ACameraThatFallsSilentIsMissingFromEachSetAndItsLateFrameStartsNone) {
    Feed a, b;
    a.Send(0, 0);
    b.Send(0, 1);
    StreamGroup group({a.stream, b.stream}, double(kPeriod));
    FrameSet set;
    ASSERT_EQ(group.Next(set, 0ms), FrameStream::Status::Frame);
    EXPECT_TRUE(set.Complete());
    // Nothing from either: no set.
    EXPECT_EQ(group.Next(set, 0ms), FrameStream::Status::Timeout);

    // Camera 1 sends nothing for two periods: the sets go out without it.
    a.Send(1, kPeriod);
    ASSERT_EQ(group.Next(set, 10ms), FrameStream::Status::Frame);
    EXPECT_FALSE(set.members[1].present);
    // Its frame of that set comes after all: passed over, not a set of its own.
    b.Send(1, kPeriod + 1);
    a.Send(2, 2 * kPeriod);
    b.Send(2, 2 * kPeriod + 1);
    ASSERT_EQ(group.Next(set, 0ms), FrameStream::Status::Frame);
    EXPECT_TRUE(set.Complete());
    EXPECT_EQ(set.members[1].bytes[0], 2);
    EXPECT_EQ(group.GetCounters().missing, (std::vector<std::uint64_t>{0, 1}));
}

}  // namespace
