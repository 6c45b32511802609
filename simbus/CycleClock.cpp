// Conversion between monotonic time and bus cycles.
#include "simbus/CycleClock.h"

#include <algorithm>
#include <cmath>

namespace simbus {

CycleClock::CycleClock(double rateScale) : CycleClock(rateScale, false) {}

CycleClock::CycleClock(double rateScale, bool manual)
    : m_rateScale(rateScale), m_manual(manual), m_start(std::chrono::steady_clock::now()) {}

CycleClock CycleClock::Manual(double rateScale) { return CycleClock(rateScale, true); }

std::uint64_t CycleClock::Now() const {
    if (m_manual) return m_manualCycle;
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - m_start;
    return std::uint64_t(elapsed.count() * kCyclesPerSecond * m_rateScale);
}

std::uint64_t CycleClock::TicksAt(TimePoint t) const {
    constexpr double kTicksPerCycle = 3072.0;
    if (m_manual) return m_manualCycle * std::uint64_t(kTicksPerCycle);
    const std::chrono::duration<double> elapsed = t - m_start;
    return std::uint64_t(std::max(0.0, elapsed.count()) * kCyclesPerSecond * kTicksPerCycle *
                         m_rateScale);
}

CycleClock::TimePoint CycleClock::StartOf(std::uint64_t cycle) const {
    const double seconds = double(cycle) / (kCyclesPerSecond * m_rateScale);
    return m_start + std::chrono::nanoseconds(std::int64_t(std::llround(seconds * 1e9)));
}

CycleClock::TimePoint CycleClock::TimeOf(std::uint64_t cycle) const {
    const double seconds = double(cycle) / (kCyclesPerSecond * m_rateScale);
    // A microsecond late, so that Now() has surely reached the cycle when a timer fires.
    const auto nanoseconds = std::chrono::nanoseconds(std::int64_t(std::ceil(seconds * 1e9)));
    return m_start + nanoseconds + std::chrono::microseconds(1);
}

}  // namespace simbus
