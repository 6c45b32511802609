// Maps bus cycle stamps onto the host's clocks, from readings of the cycle timer taken together
// with CLOCK_MONOTONIC and CLOCK_REALTIME. The timer wraps every 128 seconds and runs on the bus's
// own crystal: readings are unwrapped onto one count, and a line fitted through the recent ones
// follows the drift between the two clocks. A reading that breaks with the line (another node
// became cycle master at a bus reset, and the timer jumped) starts the fit afresh.
//
// Not thread-safe: its owner guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "platform/CycleTimerReading.h"

namespace kestrix::session {

class CycleTimeMapper {
public:
    struct Times {
        std::int64_t monotonicNs = 0;
        std::int64_t utcNs = 0;
    };
    // Readings the fit spans: at one a second, the drift of the last quarter minute.
    static constexpr std::size_t kWindow = 16;
    // How far a reading may stand off the line before it counts as a jump of the timer; far
    // above the clocks' drift over the gap between two readings and any reading's latency.
    static constexpr std::int64_t kJumpNs = 2'000'000;

    // Adds a reading; false when it broke with the ones before and the fit began again with it.
    bool Add(const platform::CycleTimerReading& reading);
    // The instant a cycle stamp names, taken as the occurrence of that stamp nearest the
    // monotonic instant nearNs (a frame's arrival: it is sent milliseconds before); empty
    // before the first reading.
    std::optional<Times> Map(std::uint32_t cycleTime, std::int64_t nearNs) const;
    // The timer's rate against CLOCK_MONOTONIC as fitted, ticks a second (nominal 24,576,000).
    double TicksPerSecond() const { return m_slope * 1e9; }
    bool Empty() const { return m_points.empty(); }
    void Clear();

private:
    struct Point {
        std::int64_t monotonicNs;
        std::int64_t ticks;  // unwrapped, counted from the first reading's wrap
    };
    // The fitted count of ticks at a monotonic instant, relative to the newest point's.
    double TicksAt(std::int64_t monotonicNs) const;
    // The unwrapped count of a register value: its occurrence nearest the fitted estimate.
    std::int64_t Unwrap(std::uint32_t cycleTimer, double estimate) const;
    void Fit();

    std::deque<Point> m_points;
    std::int64_t m_utcOffsetNs = 0;  // CLOCK_REALTIME less CLOCK_MONOTONIC at the newest reading
    // The line: ticks = m_intercept + m_slope x (monotonic - newest point's), relative to the
    // newest point's ticks.
    double m_intercept = 0;
    double m_slope = double(platform::kTicksPerSecond) / 1e9;
};

}  // namespace kestrix::session
