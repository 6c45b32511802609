// A waitable event: auto-reset releases exactly one waiter per Set, manual-reset releases every
// waiter until Reset. Safe to use from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

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
    const EventMode m_mode;
    mutable std::mutex m_mutex;  // guards m_set
    std::condition_variable m_changed;
    bool m_set;
};

}  // namespace platform
