// What a device handle and its caller share about one asynchronous request: its phase, result
// and the caller's buffer. Every field sits under one lock, so the reader thread that completes
// a request and the caller that waits for it or cancels it never race.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>

#include "platform/AsyncRequest.h"

namespace platform {

class AsyncRequest::State {
public:
    void SetEvent(Event* event) { m_event.store(event); }
    Event* GetEvent() const { return m_event.load(); }

    // Marks the request pending on `buffer` and resets its event, as starting an overlapped
    // request does. False (nothing changed) when it already pends.
    bool Begin(std::span<std::uint8_t> buffer);
    // Ends a pending request: the answer goes to the start of the buffer, then the event is
    // signalled. Does nothing unless the request pends, so a late answer cannot touch a buffer.
    void Complete(std::uint32_t status, std::span<const std::uint8_t> answer);
    // Begin and Complete in one step, for a request that failed before it was sent.
    bool Fail(std::uint32_t status);
    // The final status and byte count; kErrorIoIncomplete while pending.
    std::uint32_t Result(std::uint32_t* bytes) const;
    // Returns once the request no longer pends or, when it has an event, once that is signalled.
    void Wait();
    // Waits at most timeout for the request to stop pending, whatever its event; false when it
    // still pends then.
    bool WaitFor(std::chrono::milliseconds timeout);
    // The owner is going: a completion after this touches neither buffer nor event.
    void Detach();

private:
    enum class Phase { Idle, Pending, Done, Detached };

    std::atomic<Event*> m_event{nullptr};
    mutable std::mutex m_mutex;  // guards every field below
    std::condition_variable m_finished;
    Phase m_phase = Phase::Idle;
    std::uint32_t m_status = 0;
    std::uint32_t m_bytes = 0;
    std::span<std::uint8_t> m_buffer;
    Event* m_signal = nullptr;  // the event taken at Begin: the one the completion signals
};

}  // namespace platform
