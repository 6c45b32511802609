// Mapping cycle stamps onto the host's clocks: unwrapping across the timer's 128-second wrap,
// following a bus clock that runs fast, and starting afresh when the timer jumps back.
#include <gtest/gtest.h>

#include <cstdint>

#include "session/CycleTimeMapper.h"

namespace {

using kestrix::session::CycleTimeMapper;
using platform::CycleTimerOf;
using platform::CycleTimerReading;

constexpr std::int64_t kSecond = 1'000'000'000;
constexpr std::int64_t kUtcOffset = 1'700'000'000 * kSecond;

// A bus clock whose timer stood at ticks0 at monotonic 0 and runs ppm fast.
struct BusClock {
    std::uint64_t ticks0 = 0;
    double ppm = 0;
    std::uint64_t TicksAt(std::int64_t ns) const {
        return ticks0 + std::uint64_t(double(ns) * 24.576e-3 * (1 + ppm * 1e-6));
    }
    CycleTimerReading Reading(std::int64_t ns) const {
        return {CycleTimerOf(TicksAt(ns)), ns, ns + kUtcOffset};
    }
    // The stamp a frame sent at ns carries: its cycle, no ticks within it.
    std::uint32_t Stamp(std::int64_t ns) const { return CycleTimerOf(TicksAt(ns)) & ~0xFFFu; }
};

TEST(CycleTimeMapper, MapsAcrossTheWrapAndFollowsDrift) {
    // 3 s before the wrap, 100 ppm fast; readings once a second for 20 s.
    const BusClock bus{125 * platform::kTicksPerSecond, 100};
    CycleTimeMapper mapper;
    EXPECT_FALSE(mapper.Map(0, 0));
    for (std::int64_t s = 0; s <= 20; ++s) {
        EXPECT_TRUE(mapper.Add(bus.Reading(s * kSecond + 7 * s)));  // a few ns of jitter
        // Frames sent through the second after the reading, arriving 3 ms later.
        for (std::int64_t ms = 0; ms < 1000; ms += 97) {
            const std::int64_t sent = s * kSecond + ms * 1'000'000;
            const auto times = mapper.Map(bus.Stamp(sent), sent + 3'000'000);
            ASSERT_TRUE(times);
            // Within a cycle: the stamp names the cycle's start.
            EXPECT_LE(sent - times->monotonicNs, 125'000) << s << " s " << ms << " ms";
            EXPECT_GE(sent - times->monotonicNs, -1'000) << s << " s " << ms << " ms";
            EXPECT_EQ(times->utcNs - times->monotonicNs, kUtcOffset);
        }
    }
    EXPECT_NEAR(mapper.TicksPerSecond(), 24'576'000 * 1.0001, 5);
}

TEST(CycleTimeMapper, StartsAfreshWhenTheTimerJumpsBack) {
    BusClock bus{40 * platform::kTicksPerSecond, 0};
    CycleTimeMapper mapper;
    for (std::int64_t s = 0; s < 5; ++s) EXPECT_TRUE(mapper.Add(bus.Reading(s * kSecond)));
    // A bus reset: another cycle master, 30 s behind.
    bus.ticks0 -= 30 * platform::kTicksPerSecond;
    EXPECT_FALSE(mapper.Add(bus.Reading(5 * kSecond)));
    const std::int64_t sent = 5 * kSecond + 400'000'000;
    const auto times = mapper.Map(bus.Stamp(sent), sent + 1'000'000);
    ASSERT_TRUE(times);
    EXPECT_NEAR(double(times->monotonicNs), double(sent), 125'000);
}

TEST(CycleTimeMapper, FitsABusClockAtAnotherRate) {
    // A simulated bus run twice as fast: one reading gives no rate, two do.
    const BusClock bus{0, 1e6};
    CycleTimeMapper mapper;
    EXPECT_TRUE(mapper.Add(bus.Reading(0)));
    EXPECT_TRUE(mapper.Add(bus.Reading(kSecond)));
    EXPECT_TRUE(mapper.Add(bus.Reading(2 * kSecond)));
    const std::int64_t sent = 2 * kSecond + 300'000'000;
    const auto times = mapper.Map(bus.Stamp(sent), sent + 1'000'000);
    ASSERT_TRUE(times);
    EXPECT_NEAR(double(times->monotonicNs), double(sent), 125'000);
}

}  // namespace
