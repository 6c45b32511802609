// Synchronous device requests read on the caller's thread.
#include "platform/PlainDeviceHandle.h"

#include <algorithm>

#include "platform/ErrorCodes.h"

namespace platform {

std::uint32_t PlainDeviceHandle::Open(const std::string& path) {
    std::lock_guard lock(m_mutex);
    DeviceSocket socket;
    const std::uint32_t error = socket.Connect(path);
    if (error != kErrorSuccess) return error;
    m_socket = std::move(socket);
    m_lastId = 0;
    m_failStatus = kErrorSuccess;
    return kErrorSuccess;
}

bool PlainDeviceHandle::IsOpen() const {
    std::lock_guard lock(m_mutex);
    return m_socket.IsValid();
}

void PlainDeviceHandle::Close() {
    std::lock_guard lock(m_mutex);
    m_socket = DeviceSocket();
}

std::uint32_t PlainDeviceHandle::Request(std::uint32_t code, std::span<std::uint8_t> buffer,
                                         std::uint32_t inSize, std::uint32_t outSize,
                                         std::uint32_t* bytesReturned,
                                         std::chrono::milliseconds timeout) {
    if (bytesReturned != nullptr) *bytesReturned = 0;
    if (std::max(inSize, outSize) > std::min<std::size_t>(buffer.size(), kMaxPayload)) {
        return kErrorInvalidParameter;
    }
    std::lock_guard lock(m_mutex);
    if (!m_socket.IsValid()) return kErrorInvalidHandle;
    if (m_failStatus != kErrorSuccess) return m_failStatus;
    const Deadline deadline = DeadlineAfter(timeout);
    // Nothing is left unanswered between requests, so any id but 0 is free.
    const std::uint32_t id = m_lastId = m_lastId % 0xFFFFFFFFu + 1;
    if (!m_socket.WriteFrame(MakeRequest(id, code, inSize, outSize), buffer.first(inSize))) {
        return Break(kErrorDeviceNotConnected);
    }
    const std::uint32_t status = Await(id, outSize, deadline);
    if (m_failStatus != kErrorSuccess) return status;
    std::copy(m_answer.begin(), m_answer.end(), buffer.begin());
    if (bytesReturned != nullptr) *bytesReturned = static_cast<std::uint32_t>(m_answer.size());
    return status;
}

std::uint32_t PlainDeviceHandle::Await(std::uint32_t id, std::uint32_t outSize, Deadline deadline) {
    // Only the answer to this request can come, so it is read whole, header and payload in one.
    const std::optional<FrameHeader> header = m_socket.ReadAnswer(m_answer, outSize, deadline);
    if (!header) {
        // The time ran out, the stream ended, or the answer was malformed, longer than the room
        // given or followed by more; an answer cut short cannot be told apart from a slow one,
        // so the connection goes in every case.
        return Break(std::chrono::steady_clock::now() >= deadline ? kErrorSemTimeout
                                                                  : kErrorDeviceNotConnected);
    }
    // An answer that claims to still pend would leave the caller waiting for ever.
    if (header->kind != FrameKind::Completion || header->id != id ||
        header->code == kErrorIoPending || header->code == kErrorIoIncomplete) {
        return Break(kErrorDeviceNotConnected);
    }
    return header->code;
}

std::uint32_t PlainDeviceHandle::Break(std::uint32_t status) {
    m_failStatus = kErrorDeviceNotConnected;
    m_socket.Shutdown();
    return status;
}

}  // namespace platform
