// The view-rate windows.
#include "app/ViewRateMeter.h"

#include <cstdlib>
#include <utility>

#include "platform/SystemInfo.h"

ViewRateMeter::ViewRateMeter() : ViewRateMeter(&platform::SystemInfo::TickCount) {}

ViewRateMeter::ViewRateMeter(TickSource ticks) : m_ticks(std::move(ticks)) {}

bool ViewRateMeter::IsStale() const {
    return std::llabs(std::int64_t(std::int32_t(m_ticks() - m_lastStep))) > 1000;
}

std::int64_t ViewRateMeter::Elapsed() const {
    // The signed 32-bit difference keeps a window correct across the tick's wrap.
    return std::llabs(std::int64_t(std::int32_t(m_ticks() - m_start)));
}

void ViewRateMeter::Step(float& rate) {
    m_lastStep = m_ticks();
    if (rate < 0) {
        m_start = m_ticks();
        m_count = 0;
        rate = 0;
        return;
    }
    ++m_count;
    if (Elapsed() <= 1000) return;
    rate = float(double(m_count) * 1000.0 / double(Elapsed()));
    m_start = m_ticks();
    m_count = 0;
}
