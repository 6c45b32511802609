// The OVERLAPPED stand-in: one asynchronous request's completion record. The caller names the
// event to signal on completion and keeps the request and its buffer alive until it completed
// (or was cancelled, or its handle closed).
#pragma once

#include <cstdint>
#include <memory>

#include "platform/Event.h"

namespace platform {

class AsyncRequest {
public:
    AsyncRequest();
    ~AsyncRequest();
    AsyncRequest(const AsyncRequest&) = delete;
    AsyncRequest& operator=(const AsyncRequest&) = delete;

    // The event the handle signals when the request completes; may be null (no signal).
    void SetEvent(Event* event);
    Event* GetEvent() const;

    class State;
    const std::shared_ptr<State>& GetState() const { return m_state; }

private:
    std::shared_ptr<State> m_state;
};

}  // namespace platform
