// Endpoints: publishing, and Send and Post within this process or to another one.
#include "platform/MessageEndpoint.h"

#include <cerrno>

#include "platform/EndpointDirectory.h"
#include "platform/EndpointProtocol.h"
#include "platform/EndpointRouter.h"
#include "platform/MessageEndpointImpl.h"
#include "platform/ReplySink.h"
#include "platform/UnixSocket.h"

namespace platform {

namespace {

using EndpointPtr = EndpointRouter::EndpointPtr;

MessageQueue::Impl& CurrentQueue() { return MessageQueue::ForCurrentThread().GetImpl(); }

// An endpoint of another process, connected with its request written; invalid when the endpoint
// is gone (no socket, or a dead process's socket refusing) or the request did not go out.
UniqueFd OpenRequest(EndpointHandle to, const Message& message, bool isSend) {
    UniqueFd connection;
    if (ConnectUnix(EndpointDirectory::SocketPath(to), connection) != 0) return {};
    if (!WriteAll(connection.Get(), EncodeRequest({isSend, to, message}))) return {};
    return connection;
}

std::optional<std::int64_t> SendRemote(EndpointHandle to, const Message& message,
                                       std::chrono::milliseconds timeout) {
    const Deadline deadline = DeadlineAfter(timeout);
    const UniqueFd connection = OpenRequest(to, message, true);
    if (!connection) return std::nullopt;
    ReplyFrame reply;
    std::size_t filled = 0;
    while (CurrentQueue().AwaitReply(connection.Get(), deadline)) {
        switch (ReadMore(connection.Get(), reply, filled)) {
            case ReadProgress::Complete:
                return DecodeReply(reply);
            case ReadProgress::NeedMore:
                continue;
            case ReadProgress::Closed:  // the endpoint went away, or its process died
            case ReadProgress::Failed:
                return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<std::int64_t> SendLocal(const EndpointPtr& target, const Message& message,
                                      std::chrono::milliseconds timeout) {
    MessageQueue::Impl& mine = CurrentQueue();
    if (&target->Queue() == &mine) {
        return mine.Serves(target.get()) ? std::optional(target->Call(message)) : std::nullopt;
    }
    const Deadline deadline = DeadlineAfter(timeout);
    const auto slot = std::make_shared<ReplySink::Slot>();
    if (!slot->IsValid() || !target->Queue().Enqueue(target, message, ReplySink(slot))) {
        return std::nullopt;
    }
    // On a time-out the message stays queued; its late result lands in the abandoned slot.
    if (!mine.AwaitReply(slot->Fd(), deadline)) return std::nullopt;
    return slot->Result();
}

}  // namespace

std::unique_ptr<MessageEndpoint> MessageEndpoint::Create(Handler handler) {
    MessageQueue::Impl& queue = CurrentQueue();
    if (!handler || !queue.IsValid()) return nullptr;
    std::optional<EndpointDirectory::Claim> claim = EndpointDirectory::ClaimHandle();
    if (!claim) return nullptr;
    auto impl = std::make_shared<Impl>(claim->handle, queue.shared_from_this(), std::move(handler));
    queue.Attach(impl.get());
    if (!EndpointRouter::Instance().Add(impl, std::move(claim->listener))) {
        EndpointDirectory::Unpublish(impl->Handle());
        queue.Detach(impl.get());
        return nullptr;
    }
    return std::unique_ptr<MessageEndpoint>(new MessageEndpoint(std::move(impl)));
}

MessageEndpoint::MessageEndpoint(std::shared_ptr<Impl> impl) : m_impl(std::move(impl)) {}

MessageEndpoint::~MessageEndpoint() {
    // The name goes first, while the socket still listens, so no claimer can take it as stale.
    EndpointDirectory::Unpublish(m_impl->Handle());
    EndpointRouter::Instance().Remove(m_impl->Handle());
    m_impl->Queue().Detach(m_impl.get());
}

EndpointHandle MessageEndpoint::Handle() const { return m_impl->Handle(); }

bool MessageEndpoint::Post(EndpointHandle to, const Message& message) {
    if (to == 0) return false;
    if (const EndpointPtr target = EndpointRouter::Instance().Find(to)) {
        return target->Queue().Enqueue(target, message, std::nullopt);
    }
    return OpenRequest(to, message, false).IsValid();
}

std::optional<std::int64_t> MessageEndpoint::Send(EndpointHandle to, const Message& message,
                                                  std::chrono::milliseconds timeout) {
    if (to == 0) return std::nullopt;
    if (const EndpointPtr target = EndpointRouter::Instance().Find(to)) {
        return SendLocal(target, message, timeout);
    }
    return SendRemote(to, message, timeout);
}

bool MessageEndpoint::Exists(EndpointHandle handle) {
    if (handle == 0) return false;
    if (const EndpointPtr target = EndpointRouter::Instance().Find(handle)) {
        return target->Queue().Serves(target.get());
    }
    UniqueFd probe;
    const int error = ConnectUnix(EndpointDirectory::SocketPath(handle), probe);
    return error == 0 || error == EAGAIN;  // a full backlog still means a live listener
}

}  // namespace platform
