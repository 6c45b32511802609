// One reading of the bus's cycle timer with the host's clocks read together with it: what the
// cycle-timer request answers, and what maps a frame's cycle stamp onto the host's clocks.
#pragma once

#include <time.h>

#include <cstdint>
#include <span>

#include "platform/ByteOrder.h"
#include "platform/DriverProtocol.h"

namespace platform {

// The cycle timer counts 24.576 MHz ticks: 3072 to a 125-microsecond cycle, 8000 cycles to a
// second, and wraps after 128 seconds.
inline constexpr std::uint64_t kTicksPerCycle = 3072;
inline constexpr std::uint64_t kCyclesPerSecond = 8000;
inline constexpr std::uint64_t kTicksPerSecond = kTicksPerCycle * kCyclesPerSecond;
inline constexpr std::uint64_t kCycleTimerWrapTicks = 128 * kTicksPerSecond;

// The register's value after ticks counted from 0.
constexpr std::uint32_t CycleTimerOf(std::uint64_t ticks) {
    return std::uint32_t(ticks / kTicksPerSecond % 128) << 25 |
           std::uint32_t(ticks / kTicksPerCycle % kCyclesPerSecond) << 12 |
           std::uint32_t(ticks % kTicksPerCycle);
}
// The ticks since the last wrap a register value stands for (a cycle count past 7999 is taken
// modulo 8000).
constexpr std::uint64_t TicksOf(std::uint32_t cycleTimer) {
    return (cycleTimer >> 25) * kTicksPerSecond +
           ((cycleTimer >> 12 & 0x1FFF) % kCyclesPerSecond) * kTicksPerCycle +
           (cycleTimer & 0xFFF) % kTicksPerCycle;
}

// CLOCK_REALTIME at the CLOCK_MONOTONIC instant monotonicNs (recent): the two clocks' offset
// read now, which changes only when the system's time is set or slewed.
inline std::int64_t RealtimeAt(std::int64_t monotonicNs) {
    timespec realtime{}, monotonic{};
    ::clock_gettime(CLOCK_REALTIME, &realtime);
    ::clock_gettime(CLOCK_MONOTONIC, &monotonic);
    const auto ns = [](const timespec& t) { return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec; };
    return monotonicNs + ns(realtime) - ns(monotonic);
}

struct CycleTimerReading {
    // Seconds modulo 128 at bit 25, cycle count 0..7999 at bit 12, ticks 0..3071 at bit 0.
    std::uint32_t cycleTimer = 0;
    std::int64_t monotonicNs = 0;  // CLOCK_MONOTONIC
    std::int64_t realtimeNs = 0;   // CLOCK_REALTIME (UTC)

    // The answer's bytes; record holds at least kCycleTimerRecordBytes.
    void Store(std::span<std::uint8_t> record) const {
        using namespace protocol;
        StoreLE32(&record[kCycleTimerValueOffset], cycleTimer);
        StoreLE32(&record[kCycleTimerValueOffset + 4], 0);
        StoreLE64(&record[kCycleTimerMonotonicOffset], std::uint64_t(monotonicNs));
        StoreLE64(&record[kCycleTimerRealtimeOffset], std::uint64_t(realtimeNs));
    }
    static CycleTimerReading Load(std::span<const std::uint8_t> record) {
        using namespace protocol;
        return {LoadLE32(&record[kCycleTimerValueOffset]),
                std::int64_t(LoadLE64(&record[kCycleTimerMonotonicOffset])),
                std::int64_t(LoadLE64(&record[kCycleTimerRealtimeOffset]))};
    }
};

}  // namespace platform
