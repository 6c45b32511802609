// The inside of a thread's message queue: the messages waiting for the owner thread in arrival
// order, the descriptors that tell a poll loop so, and the endpoints the queue serves.
// Any thread may enqueue; only the owner thread dispatches, waits for replies and closes it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_set>

#include "platform/MessageEndpoint.h"
#include "platform/MessageQueue.h"
#include "platform/PollFlag.h"
#include "platform/ReplySink.h"
#include "platform/UnixSocket.h"

namespace platform {

class MessageQueue::Impl : public std::enable_shared_from_this<MessageQueue::Impl> {
public:
    using EndpointPtr = std::shared_ptr<const MessageEndpoint::Impl>;

    bool IsValid() const { return m_work.IsValid() && m_sent.IsValid(); }
    int Fd() const { return m_work.Fd(); }

    void Attach(const MessageEndpoint::Impl* endpoint);
    // The endpoint stops taking messages; those still waiting are dropped, failing their senders.
    void Detach(const MessageEndpoint::Impl* endpoint);
    bool Serves(const MessageEndpoint::Impl* endpoint) const;

    // Queues a message (a Send when reply is given). False when the endpoint is no longer served
    // or the queue closed; the reply sink then fails its sender.
    bool Enqueue(EndpointPtr target, const Message& message, std::optional<ReplySink> reply);

    std::size_t DispatchPending();
    std::size_t Pump(std::chrono::milliseconds timeout);
    // Waits until replyFd turns readable (true) or the deadline passes (false), handling the
    // messages sent to this thread's endpoints meanwhile so that mutual Sends cannot deadlock.
    bool AwaitReply(int replyFd, Deadline deadline);

    // The owner thread ends: everything waiting is dropped and nothing is taken any more.
    void Close();

private:
    struct Item {
        EndpointPtr target;
        Message message;
        std::optional<ReplySink> reply;
        std::uint64_t serial = 0;
    };

    std::size_t Dispatch(bool sentOnly);
    std::optional<Item> TakeNext(bool sentOnly, std::uint64_t before);
    void UpdateFlagsLocked();

    PollFlag m_work;             // raised while any message waits
    PollFlag m_sent;             // raised while a sent message waits
    mutable std::mutex m_mutex;  // guards every field below
    std::deque<Item> m_items;
    std::size_t m_sentCount = 0;
    std::uint64_t m_nextSerial = 0;
    std::unordered_set<const MessageEndpoint::Impl*> m_endpoints;
    bool m_closed = false;
};

}  // namespace platform
