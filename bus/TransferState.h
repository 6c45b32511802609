// The state of an isochronous transfer thread: an atomic value whose every change wakes the
// threads waiting on it, so that whoever starts or stops a transfer learns of the change at once
// instead of polling for it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// The states of a transfer thread. The numbers are the ones StopIsochTransfer returns to its
// callers, so they stay fixed.
enum class IsochState : std::uint32_t {
    kStateCreated = 0,
    kStateArmed = 1,
    kStateDone = 2,
    kStateFailed = 3,
    kStateDoneEmpty = 4,  // done, but nothing was received
    kStateIdle = 5,       // holds its resources, not transferring (or stopped)
    kStateRunning = 6,
};

class TransferState {
public:
    explicit TransferState(IsochState value) : m_value(value) {}
    TransferState(const TransferState&) = delete;
    TransferState& operator=(const TransferState&) = delete;

    // Stores a new state and wakes every waiter.
    TransferState& operator=(IsochState value) {
        {
            // Stored under the lock, so that a waiter between its test and its sleep still
            // hears of it.
            std::scoped_lock lock(m_mutex);
            m_value.store(value);
        }
        m_changed.notify_all();
        return *this;
    }
    operator IsochState() const { return m_value.load(); }
    IsochState load() const { return m_value.load(); }

    // Waits while busy(state) holds; returns the state that ended the wait.
    template <class Busy>
    IsochState WaitWhile(Busy busy) const {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return !busy(m_value.load()); });
        return m_value.load();
    }
    // The same, giving up after timeout; returns the state then.
    template <class Busy>
    IsochState WaitWhile(Busy busy, std::chrono::milliseconds timeout) const {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, timeout, [&] { return !busy(m_value.load()); });
        return m_value.load();
    }

private:
    std::atomic<IsochState> m_value;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
};
