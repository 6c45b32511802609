// Delivery of a sent message's result to its sender, in this process or another.
#include "platform/ReplySink.h"

#include "platform/EndpointProtocol.h"
#include "platform/UnixSocket.h"

namespace platform {

std::optional<std::int64_t> ReplySink::Slot::Result() const {
    std::scoped_lock lock(m_mutex);
    return m_result;
}

void ReplySink::Slot::Settle(std::optional<std::int64_t> result) {
    {
        std::scoped_lock lock(m_mutex);
        m_result = result;
    }
    m_settled.Raise();
}

ReplySink& ReplySink::operator=(ReplySink&& other) noexcept {
    if (this != &other) {
        Finish(std::nullopt);
        m_slot = std::move(other.m_slot);
        m_connection = std::move(other.m_connection);
    }
    return *this;
}

void ReplySink::Finish(std::optional<std::int64_t> result) {
    if (m_slot) {
        m_slot->Settle(result);
        m_slot.reset();
    }
    if (m_connection) {
        // No reply frame means failure: closing the connection tells the sender at once.
        if (result) WriteAll(m_connection.Get(), EncodeReply(*result));
        m_connection.Reset();
    }
}

}  // namespace platform
