// Unwrapping and fitting cycle timer readings.
#include "session/CycleTimeMapper.h"

#include <algorithm>
#include <cmath>

namespace kestrix::session {
namespace {

constexpr double kNominalSlope = double(platform::kTicksPerSecond) / 1e9;  // ticks a nanosecond
constexpr auto kWrap = std::int64_t(platform::kCycleTimerWrapTicks);
// Readings closer together than this give no slope worth having.
constexpr std::int64_t kMinSpanNs = 200'000'000;

}  // namespace

void CycleTimeMapper::Clear() {
    m_points.clear();
    m_intercept = 0;
    m_slope = kNominalSlope;
}

double CycleTimeMapper::TicksAt(std::int64_t monotonicNs) const {
    return m_intercept + m_slope * double(monotonicNs - m_points.back().monotonicNs);
}

std::int64_t CycleTimeMapper::Unwrap(std::uint32_t cycleTimer, double estimate) const {
    const std::int64_t guess = m_points.back().ticks + std::llround(estimate);
    const auto raw = std::int64_t(platform::TicksOf(cycleTimer));
    // The register's value less the guess's, folded into half a wrap either side.
    std::int64_t delta = (raw - guess % kWrap) % kWrap;
    if (delta < 0) delta += kWrap;
    if (delta >= kWrap / 2) delta -= kWrap;
    return guess + delta;
}

bool CycleTimeMapper::Add(const platform::CycleTimerReading& reading) {
    bool continued = true;
    if (m_points.empty()) {
        m_points.push_back({reading.monotonicNs, std::int64_t(platform::TicksOf(reading.cycleTimer))});
    } else {
        const double estimate = TicksAt(reading.monotonicNs);
        const std::int64_t ticks = Unwrap(reading.cycleTimer, estimate);
        const double offNs =
            std::abs(double(ticks - m_points.back().ticks) - estimate) / m_slope;
        // One point fixes no rate (a simulated bus may run at any), so only a line is checked.
        if (m_points.size() >= 2 && offNs > double(kJumpNs)) {
            Clear();
            continued = false;
            m_points.push_back(
                {reading.monotonicNs, std::int64_t(platform::TicksOf(reading.cycleTimer))});
        } else {
            m_points.push_back({reading.monotonicNs, ticks});
            if (m_points.size() > kWindow) m_points.pop_front();
        }
    }
    m_utcOffsetNs = reading.realtimeNs - reading.monotonicNs;
    Fit();
    return continued;
}

void CycleTimeMapper::Fit() {
    const Point& last = m_points.back();
    const auto x = [&](const Point& p) { return double(p.monotonicNs - last.monotonicNs); };
    const auto y = [&](const Point& p) { return double(p.ticks - last.ticks); };
    double meanX = 0, meanY = 0;
    for (const Point& p : m_points) {
        meanX += x(p);
        meanY += y(p);
    }
    meanX /= double(m_points.size());
    meanY /= double(m_points.size());
    double sxx = 0, sxy = 0;
    for (const Point& p : m_points) {
        sxx += (x(p) - meanX) * (x(p) - meanX);
        sxy += (x(p) - meanX) * (y(p) - meanY);
    }
    const bool spans = last.monotonicNs - m_points.front().monotonicNs >= kMinSpanNs;
    m_slope = spans && sxx > 0 && sxy > 0 ? sxy / sxx : kNominalSlope;
    m_intercept = meanY - m_slope * meanX;
}

std::optional<CycleTimeMapper::Times> CycleTimeMapper::Map(std::uint32_t cycleTime,
                                                           std::int64_t nearNs) const {
    if (m_points.empty()) return std::nullopt;
    const std::int64_t ticks = Unwrap(cycleTime, TicksAt(nearNs));
    const double fromLast = (double(ticks - m_points.back().ticks) - m_intercept) / m_slope;
    const std::int64_t monotonic = m_points.back().monotonicNs + std::llround(fromLast);
    return Times{monotonic, monotonic + m_utcOffsetNs};
}

}  // namespace kestrix::session
