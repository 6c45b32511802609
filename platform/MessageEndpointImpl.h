// One published endpoint: its handle, its owner thread's queue and its handler. All of it is
// fixed at creation, so any thread may read it; only the owner thread calls the handler.
#pragma once

#include <memory>
#include <utility>

#include "platform/MessageEndpoint.h"
#include "platform/MessageQueueImpl.h"

namespace platform {

class MessageEndpoint::Impl {
public:
    Impl(EndpointHandle handle, std::shared_ptr<MessageQueue::Impl> queue, Handler handler)
        : m_handle(handle), m_queue(std::move(queue)), m_handler(std::move(handler)) {}

    EndpointHandle Handle() const { return m_handle; }
    MessageQueue::Impl& Queue() const { return *m_queue; }
    std::int64_t Call(const Message& message) const { return m_handler(message); }

private:
    const EndpointHandle m_handle;
    const std::shared_ptr<MessageQueue::Impl> m_queue;
    const Handler m_handler;
};

}  // namespace platform
