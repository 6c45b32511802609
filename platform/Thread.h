// A worker thread that is joined by its owner. The priority is best effort: when the system
// refuses it (no privilege for real-time scheduling), the thread runs at normal priority.
// Joinable() is false after construction when no thread could be started. Join (and the
// destructor) called from the thread itself detaches instead of deadlocking.
#pragma once

#include <functional>
#include <thread>

namespace platform {

enum class ThreadPriority { Normal, AboveNormal, TimeCritical };

class Thread {
public:
    Thread() = default;
    explicit Thread(std::function<void()> body, ThreadPriority priority = ThreadPriority::Normal);
    Thread(Thread&&) noexcept = default;
    Thread& operator=(Thread&& other) noexcept;
    ~Thread();  // joins

    bool Joinable() const { return m_thread.joinable(); }
    void Join();
    // True when called from this thread.
    bool IsCurrent() const;

private:
    std::thread m_thread;
};

}  // namespace platform
