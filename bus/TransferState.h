// The state of an isochronous transfer thread: an atomic value whose every change wakes the
// threads waiting on it, so that whoever starts or stops a transfer learns of the change at once
// instead of polling for it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

class TransferState {
public:
    explicit TransferState(std::uint32_t value) : m_value(value) {}
    TransferState(const TransferState&) = delete;
    TransferState& operator=(const TransferState&) = delete;

    // Stores a new state and wakes every waiter.
    TransferState& operator=(std::uint32_t value) {
        {
            // Stored under the lock, so that a waiter between its test and its sleep still
            // hears of it.
            std::scoped_lock lock(m_mutex);
            m_value.store(value);
        }
        m_changed.notify_all();
        return *this;
    }
    operator std::uint32_t() const { return m_value.load(); }
    std::uint32_t load() const { return m_value.load(); }

    // Waits while busy(state) holds; returns the state that ended the wait.
    template <class Busy>
    std::uint32_t WaitWhile(Busy busy) const {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return !busy(m_value.load()); });
        return m_value.load();
    }
    // The same, giving up after timeout; returns the state then.
    template <class Busy>
    std::uint32_t WaitWhile(Busy busy, std::chrono::milliseconds timeout) const {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, timeout, [&] { return !busy(m_value.load()); });
        return m_value.load();
    }

private:
    std::atomic<std::uint32_t> m_value;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
};
