// The per-thread message queue: arrival order, poll flags, dispatch and reply waits.
#include "platform/MessageQueueImpl.h"

#include <algorithm>
#include <vector>

#include "platform/MessageEndpointImpl.h"

namespace platform {

void MessageQueue::Impl::Attach(const MessageEndpoint::Impl* endpoint) {
    std::scoped_lock lock(m_mutex);
    if (!m_closed) m_endpoints.insert(endpoint);
}

void MessageQueue::Impl::Detach(const MessageEndpoint::Impl* endpoint) {
    std::vector<Item> dropped;  // destroyed after the lock: their sinks wake other threads
    std::scoped_lock lock(m_mutex);
    m_endpoints.erase(endpoint);
    const auto firstDropped = std::stable_partition(
        m_items.begin(), m_items.end(),
        [endpoint](const Item& item) { return item.target.get() != endpoint; });
    for (auto it = firstDropped; it != m_items.end(); ++it) {
        if (it->reply) --m_sentCount;
        dropped.push_back(std::move(*it));
    }
    m_items.erase(firstDropped, m_items.end());
    UpdateFlagsLocked();
}

bool MessageQueue::Impl::Serves(const MessageEndpoint::Impl* endpoint) const {
    std::scoped_lock lock(m_mutex);
    return m_endpoints.contains(endpoint);
}

bool MessageQueue::Impl::Enqueue(EndpointPtr target, const Message& message,
                                 std::optional<ReplySink> reply) {
    std::scoped_lock lock(m_mutex);
    if (m_closed || !m_endpoints.contains(target.get())) return false;
    if (reply) ++m_sentCount;
    m_items.push_back(Item{std::move(target), message, std::move(reply), m_nextSerial++});
    UpdateFlagsLocked();
    return true;
}

std::size_t MessageQueue::Impl::DispatchPending() { return Dispatch(false); }

std::size_t MessageQueue::Impl::Pump(std::chrono::milliseconds timeout) {
    pollfd work{Fd(), POLLIN, 0};
    PollUntil({&work, 1}, DeadlineAfter(timeout));
    return DispatchPending();
}

bool MessageQueue::Impl::AwaitReply(int replyFd, Deadline deadline) {
    std::array<pollfd, 2> fds{pollfd{replyFd, POLLIN, 0}, pollfd{m_sent.Fd(), POLLIN, 0}};
    for (;;) {
        for (pollfd& fd : fds) fd.revents = 0;
        const int ready = PollUntil(fds, deadline);
        if (fds[0].revents != 0) return true;
        if (ready <= 0) return false;
        if (fds[1].revents & POLLIN) Dispatch(true);
    }
}

void MessageQueue::Impl::Close() {
    std::deque<Item> dropped;
    std::scoped_lock lock(m_mutex);
    m_closed = true;
    m_endpoints.clear();
    dropped.swap(m_items);
    m_sentCount = 0;
    UpdateFlagsLocked();
}

std::size_t MessageQueue::Impl::Dispatch(bool sentOnly) {
    std::uint64_t before;
    {
        std::scoped_lock lock(m_mutex);
        before = m_nextSerial;  // what arrives while handlers run waits for the next round
    }
    std::size_t ran = 0;
    while (std::optional<Item> item = TakeNext(sentOnly, before)) {
        const std::int64_t result = item->target->Call(item->message);
        if (item->reply) item->reply->Complete(result);
        ++ran;
    }
    return ran;
}

std::optional<MessageQueue::Impl::Item> MessageQueue::Impl::TakeNext(bool sentOnly,
                                                                     std::uint64_t before) {
    std::scoped_lock lock(m_mutex);
    const auto it = std::find_if(m_items.begin(), m_items.end(), [&](const Item& item) {
        return item.serial < before && (!sentOnly || item.reply);
    });
    if (it == m_items.end()) return std::nullopt;
    std::optional<Item> item(std::move(*it));
    m_items.erase(it);
    if (item->reply) --m_sentCount;
    UpdateFlagsLocked();
    return item;
}

void MessageQueue::Impl::UpdateFlagsLocked() {
    if (m_items.empty()) {
        m_work.Clear();
    } else {
        m_work.Raise();
    }
    if (m_sentCount == 0) {
        m_sent.Clear();
    } else {
        m_sent.Raise();
    }
}

}  // namespace platform
