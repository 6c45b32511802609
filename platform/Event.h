// A waitable event: auto-reset releases exactly one waiter per Set, manual-reset releases every
// waiter until Reset. Safe to use from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

namespace platform {

enum class EventMode { AutoReset, ManualReset };

class Event {
public:
    explicit Event(EventMode mode, bool initiallySet = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;

    // Waits without limit.
    void Wait();
    // True when signalled, false when the time ran out. An auto-reset event is consumed.
    bool WaitFor(std::chrono::milliseconds timeout);

private:
    using Deadline = std::optional<std::chrono::steady_clock::time_point>;
    bool WaitUntil(Deadline deadline);
    bool WaitManual(std::unique_lock<std::mutex>& lock, Deadline deadline);
    bool WaitAuto(std::unique_lock<std::mutex>& lock, Deadline deadline);

    const EventMode m_mode;
    mutable std::mutex m_mutex;  // guards m_set, m_waiters, m_grants, m_generation
    std::condition_variable m_changed;
    bool m_set;
    // Auto-reset: a Set that finds blocked waiters hands one of them a grant instead of setting
    // the event, so back-to-back Sets release as many waiters as there were Sets.
    std::uint32_t m_waiters = 0;
    std::uint32_t m_grants = 0;
    // Manual-reset: bumped by every Set, so a Set followed at once by Reset still releases
    // everyone who was waiting at the time.
    std::uint64_t m_generation = 0;
};

}  // namespace platform
