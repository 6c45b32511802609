// The I/O thread that turns socket requests into queued messages.
#include "platform/EndpointRouter.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>

#include "platform/MessageEndpointImpl.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// A well-behaved sender writes its whole request right after connecting.
constexpr auto kRequestPatience = std::chrono::seconds(5);
// Connections being read at once; more wait in their listener's backlog.
constexpr std::size_t kMaxIncoming = 256;
// Out of descriptors, a listener stays readable: resting avoids spinning on it.
constexpr auto kAcceptRest = std::chrono::milliseconds(100);

}  // namespace

EndpointRouter& EndpointRouter::Instance() {
    static EndpointRouter router;
    return router;
}

EndpointRouter::~EndpointRouter() {
    {
        std::scoped_lock lock(m_mutex);
        m_stopping = true;
    }
    m_wake.Raise();
    if (m_thread.joinable()) m_thread.join();
}

bool EndpointRouter::Add(EndpointPtr endpoint, UniqueFd listener) {
    if (!m_wake.IsValid()) return false;
    std::scoped_lock lock(m_mutex);
    if (!m_thread.joinable()) {
        try {
            m_thread = std::thread(&EndpointRouter::Run, this);
        } catch (const std::system_error&) {
            return false;
        }
    }
    const EndpointHandle handle = endpoint->Handle();
    m_published[handle] = Published{std::move(endpoint), std::move(listener)};
    m_wake.Raise();
    return true;
}

void EndpointRouter::Remove(EndpointHandle handle) {
    std::scoped_lock lock(m_mutex);
    const auto it = m_published.find(handle);
    if (it == m_published.end()) return;
    // The I/O thread may be polling the listener right now, so it closes the descriptor itself.
    m_retired.push_back(std::move(it->second.listener));
    m_published.erase(it);
    m_wake.Raise();
}

EndpointRouter::EndpointPtr EndpointRouter::Find(EndpointHandle handle) const {
    std::scoped_lock lock(m_mutex);
    const auto it = m_published.find(handle);
    return it == m_published.end() ? nullptr : it->second.endpoint;
}

void EndpointRouter::Run() {
    std::vector<pollfd> fds;
    std::vector<EndpointPtr> listening;
    while (Snapshot(fds, listening)) {
        // Listeners rest while every slot is taken (new connections wait in the backlog rather
        // than being lost) and for a moment after a failed accept.
        const bool resting = Clock::now() < m_acceptRestUntil;
        if (resting || m_incoming.size() >= kMaxIncoming) {
            for (std::size_t i = 1; i < fds.size(); ++i) fds[i].events = 0;
        }
        Deadline wakeAt = resting ? m_acceptRestUntil : kNoDeadline;
        for (const Incoming& incoming : m_incoming) {
            fds.push_back(pollfd{incoming.connection.Get(), POLLIN, 0});
            wakeAt = std::min(wakeAt, incoming.giveUp);
        }
        PollUntil(fds, wakeAt);
        m_wake.Clear();

        // Requests already accepted go first, in accept order: a sender's earlier message was
        // written before its later connection existed, so arrival order is kept.
        const auto now = Clock::now();
        std::erase_if(m_incoming, [now](Incoming& incoming) {
            return ReadRequest(incoming) || now >= incoming.giveUp;
        });
        for (std::size_t i = 0; i < listening.size(); ++i) {
            if (fds[i + 1].revents & POLLIN) AcceptFrom(fds[i + 1], listening[i]);
        }
    }
}

bool EndpointRouter::Snapshot(std::vector<pollfd>& fds, std::vector<EndpointPtr>& listening) {
    fds.assign(1, pollfd{m_wake.Fd(), POLLIN, 0});
    listening.clear();
    std::scoped_lock lock(m_mutex);
    if (m_stopping) return false;
    m_retired.clear();
    for (const auto& [handle, published] : m_published) {
        fds.push_back(pollfd{published.listener.Get(), POLLIN, 0});
        listening.push_back(published.endpoint);
    }
    return true;
}

bool EndpointRouter::ReadRequest(Incoming& incoming) {
    switch (ReadMore(incoming.connection.Get(), incoming.frame, incoming.filled)) {
        case ReadProgress::NeedMore:
            return false;
        case ReadProgress::Complete:
            Deliver(incoming);
            return true;
        case ReadProgress::Closed:  // an existence probe, or a sender that gave up
        case ReadProgress::Failed:
            return true;
    }
    return true;
}

void EndpointRouter::Deliver(Incoming& incoming) {
    const std::optional<EndpointRequest> request = DecodeRequest(incoming.frame);
    if (!request || request->target != incoming.endpoint->Handle()) return;  // malformed
    MessageQueue::Impl& queue = incoming.endpoint->Queue();
    if (request->isSend) {
        queue.Enqueue(incoming.endpoint, request->message,
                      ReplySink(std::move(incoming.connection)));
    } else {
        queue.Enqueue(incoming.endpoint, request->message, std::nullopt);
    }
}

void EndpointRouter::AcceptFrom(const pollfd& listener, const EndpointPtr& endpoint) {
    while (m_incoming.size() < kMaxIncoming) {
        UniqueFd connection;
        const int error = AcceptUnix(listener.fd, connection);
        if (error != 0) {
            if (error != EAGAIN) m_acceptRestUntil = Clock::now() + kAcceptRest;
            return;
        }
        m_incoming.push_back(
            Incoming{endpoint, std::move(connection), {}, 0, Clock::now() + kRequestPatience});
    }
}

}  // namespace platform
