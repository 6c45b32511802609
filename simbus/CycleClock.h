// The bus's isochronous cycle clock: 8000 cycles a second of monotonic time, times the rate
// scale. Tests drive a manual clock instead, so that streaming is exact and needs no waiting.
#pragma once

#include <chrono>
#include <cstdint>

namespace simbus {

class CycleClock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    static constexpr double kCyclesPerSecond = 8000.0;

    // A clock that counts from now.
    explicit CycleClock(double rateScale);
    // A clock that stands still until Set moves it.
    static CycleClock Manual(double rateScale = 1.0);

    std::uint64_t Now() const;
    // The cycle timer's 24.576 MHz ticks (3072 a cycle) at monotonic time t.
    std::uint64_t TicksAt(TimePoint t) const;
    // The monotonic time at which the clock reaches cycle, a microsecond late (for timers).
    TimePoint TimeOf(std::uint64_t cycle) const;
    // The monotonic instant cycle begins, to the nanosecond.
    TimePoint StartOf(std::uint64_t cycle) const;
    double RateScale() const { return m_rateScale; }

    void Set(std::uint64_t cycle) { m_manualCycle = cycle; }

private:
    CycleClock(double rateScale, bool manual);

    double m_rateScale;
    bool m_manual;
    TimePoint m_start;
    std::uint64_t m_manualCycle = 0;
};

}  // namespace simbus
