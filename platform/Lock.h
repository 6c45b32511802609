// A re-entrant lock within one process (the critical-section stand-in); BasicLockable, so
// std::scoped_lock and std::unique_lock work with it.
#pragma once

#include <mutex>

namespace platform {

class Lock {
public:
    void lock() { m_mutex.lock(); }
    bool try_lock() { return m_mutex.try_lock(); }
    void unlock() { m_mutex.unlock(); }

private:
    std::recursive_mutex m_mutex;
};

}  // namespace platform
