// Auto- and manual-reset events on a mutex and condition variable.
#include "platform/Event.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// Empty (wait without limit) when the deadline would lie beyond what the clock can represent.
std::optional<Clock::time_point> DeadlineAfter(std::chrono::milliseconds timeout) {
    const auto now = Clock::now();
    if (timeout <= std::chrono::milliseconds::zero()) return now;
    const auto room =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
    if (timeout >= room) return std::nullopt;
    return now + timeout;
}

}  // namespace

Event::Event(EventMode mode, bool initiallySet) : m_mode(mode), m_set(initiallySet) {}

void Event::Set() {
    std::lock_guard lock(m_mutex);
    if (m_mode == EventMode::ManualReset) {
        m_set = true;
        ++m_generation;
        m_changed.notify_all();
    } else if (m_waiters > m_grants) {
        ++m_grants;
        m_changed.notify_one();
    } else {
        m_set = true;
    }
}

void Event::Reset() {
    std::lock_guard lock(m_mutex);
    m_set = false;
}

bool Event::IsSet() const {
    std::lock_guard lock(m_mutex);
    return m_set;
}

void Event::Wait() { WaitUntil(std::nullopt); }

bool Event::WaitFor(std::chrono::milliseconds timeout) { return WaitUntil(DeadlineAfter(timeout)); }

bool Event::WaitUntil(Deadline deadline) {
    std::unique_lock lock(m_mutex);
    return m_mode == EventMode::ManualReset ? WaitManual(lock, deadline) : WaitAuto(lock, deadline);
}

bool Event::WaitManual(std::unique_lock<std::mutex>& lock, Deadline deadline) {
    const auto generation = m_generation;
    const auto released = [&] { return m_set || m_generation != generation; };
    if (!deadline) {
        m_changed.wait(lock, released);
        return true;
    }
    return m_changed.wait_until(lock, *deadline, released);
}

bool Event::WaitAuto(std::unique_lock<std::mutex>& lock, Deadline deadline) {
    if (m_set) {
        m_set = false;
        return true;
    }
    ++m_waiters;
    const auto granted = [&] { return m_grants > 0; };
    bool released = true;
    if (deadline)
        released = m_changed.wait_until(lock, *deadline, granted);
    else
        m_changed.wait(lock, granted);
    --m_waiters;
    if (released) --m_grants;
    return released;
}

}  // namespace platform
