// The completion record of one asynchronous device request.
#include "platform/AsyncRequest.h"

#include <algorithm>

#include "platform/AsyncRequestState.h"
#include "platform/ErrorCodes.h"

namespace platform {

AsyncRequest::AsyncRequest() : m_state(std::make_shared<State>()) {}

// The connection may still list the state; detaching keeps a late answer away from the
// caller's memory if the request is dropped while it pends.
AsyncRequest::~AsyncRequest() { m_state->Detach(); }

void AsyncRequest::SetEvent(Event* event) { m_state->SetEvent(event); }

Event* AsyncRequest::GetEvent() const { return m_state->GetEvent(); }

bool AsyncRequest::State::Begin(std::span<std::uint8_t> buffer) {
    std::lock_guard lock(m_mutex);
    if (m_phase == Phase::Pending || m_phase == Phase::Detached) return false;
    m_phase = Phase::Pending;
    m_status = kErrorIoIncomplete;
    m_bytes = 0;
    m_buffer = buffer;
    m_signal = m_event.load();
    if (m_signal != nullptr) m_signal->Reset();
    return true;
}

void AsyncRequest::State::Complete(std::uint32_t status, std::span<const std::uint8_t> answer) {
    std::lock_guard lock(m_mutex);
    if (m_phase != Phase::Pending) return;
    const std::size_t bytes = std::min(answer.size(), m_buffer.size());
    std::copy_n(answer.begin(), bytes, m_buffer.begin());
    m_phase = Phase::Done;
    m_status = status;
    m_bytes = static_cast<std::uint32_t>(bytes);
    m_buffer = {};
    // Signalled under the lock: once Result reports the end, the handle is done with the event
    // and the caller may destroy it.
    if (m_signal != nullptr) m_signal->Set();
    m_finished.notify_all();
}

bool AsyncRequest::State::Fail(std::uint32_t status) {
    if (!Begin({})) return false;
    Complete(status, {});
    return true;
}

std::uint32_t AsyncRequest::State::Result(std::uint32_t* bytes) const {
    std::lock_guard lock(m_mutex);
    const bool done = m_phase == Phase::Done;
    if (bytes != nullptr) *bytes = done ? m_bytes : 0;
    if (m_phase == Phase::Idle) return kErrorInvalidParameter;
    return done ? m_status : kErrorIoIncomplete;
}

void AsyncRequest::State::Wait() {
    std::unique_lock lock(m_mutex);
    if (m_phase != Phase::Pending) return;
    if (Event* event = m_signal) {
        lock.unlock();
        event->Wait();
        return;
    }
    m_finished.wait(lock, [this] { return m_phase != Phase::Pending; });
}

bool AsyncRequest::State::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_finished.wait_for(lock, timeout, [this] { return m_phase != Phase::Pending; });
}

void AsyncRequest::State::Detach() {
    std::lock_guard lock(m_mutex);
    m_phase = Phase::Detached;
    m_buffer = {};
    m_signal = nullptr;
}

}  // namespace platform
