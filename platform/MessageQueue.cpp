// The calling thread's message queue, made on first use and closed when the thread ends.
#include "platform/MessageQueue.h"

#include "platform/MessageQueueImpl.h"

namespace platform {

MessageQueue& MessageQueue::ForCurrentThread() {
    static thread_local MessageQueue queue;
    return queue;
}

MessageQueue::MessageQueue() : m_impl(std::make_shared<Impl>()) {}

MessageQueue::~MessageQueue() { m_impl->Close(); }

int MessageQueue::Fd() const { return m_impl->Fd(); }

std::size_t MessageQueue::DispatchPending() { return m_impl->DispatchPending(); }

std::size_t MessageQueue::Pump(std::chrono::milliseconds timeout) { return m_impl->Pump(timeout); }

}  // namespace platform
