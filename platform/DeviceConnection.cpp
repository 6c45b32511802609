// A unit-socket connection with its pending-request table and completion reader.
#include "platform/DeviceConnection.h"

#include <algorithm>
#include <new>
#include <system_error>

#include "platform/ErrorCodes.h"

namespace platform {

std::shared_ptr<DeviceConnection> DeviceConnection::Open(const std::string& path,
                                                         std::uint32_t& error) {
    DeviceSocket socket;
    error = socket.Connect(path);
    if (error != kErrorSuccess) return nullptr;
    try {
        auto connection = std::make_shared<DeviceConnection>(std::move(socket));
        connection->m_reader = std::thread(&DeviceConnection::Read, connection.get());
        return connection;
    } catch (const std::bad_alloc&) {
    } catch (const std::system_error&) {
    }
    error = kErrorNotEnoughMemory;
    return nullptr;
}

DeviceConnection::DeviceConnection(DeviceSocket socket) : m_socket(std::move(socket)) {}

DeviceConnection::~DeviceConnection() { Close(); }

std::uint32_t DeviceConnection::Issue(std::uint32_t code, std::span<std::uint8_t> buffer,
                                      std::uint32_t inSize, std::uint32_t outSize,
                                      const std::shared_ptr<AsyncRequest::State>& request,
                                      int passFd) {
    if (std::max(inSize, outSize) > std::min<std::size_t>(buffer.size(), kMaxPayload)) {
        return kErrorInvalidParameter;
    }
    // Held from registration to the last byte sent, so a cancel for this id cannot overtake it.
    std::lock_guard writeLock(m_writeMutex);
    std::uint32_t id = 0;
    {
        std::lock_guard lock(m_mutex);
        if (m_failStatus != kErrorSuccess) {
            return request->Fail(m_failStatus) ? m_failStatus : kErrorInvalidParameter;
        }
        if (!request->Begin(buffer.first(outSize))) return kErrorInvalidParameter;
        id = NextId();
        m_pending[id] = {request, outSize};
    }
    const FrameHeader header = passFd >= 0 ? MakeSharedRequest(id, code, inSize, outSize)
                                           : MakeRequest(id, code, inSize, outSize);
    if (!m_socket.WriteFrame(header, buffer.first(inSize), passFd)) {
        Break(kErrorDeviceNotConnected, kErrorDeviceNotConnected);
        return request->Result(nullptr);
    }
    {
        std::lock_guard lock(m_mutex);
        if (const auto it = m_pending.find(id); it != m_pending.end()) it->second.sent = true;
    }
    m_sent.notify_all();
    return kErrorIoPending;
}

void DeviceConnection::CancelAll() {
    std::vector<std::uint8_t> cancels;
    {
        std::lock_guard lock(m_mutex);
        for (auto& [id, pending] : m_pending) {
            if (!pending.request) continue;
            pending.request->Complete(kErrorOperationAborted, {});
            pending.request.reset();
            const FrameHeaderBytes frame = EncodeFrameHeader(MakeCancel(id));
            cancels.insert(cancels.end(), frame.begin(), frame.end());
        }
    }
    if (cancels.empty()) return;
    std::lock_guard writeLock(m_writeMutex);
    if (!m_socket.WriteBytes(cancels)) Break(kErrorDeviceNotConnected, kErrorDeviceNotConnected);
}

void DeviceConnection::Cancel(const std::shared_ptr<AsyncRequest::State>& request,
                              std::uint32_t status) {
    std::uint32_t id = 0;
    {
        std::lock_guard lock(m_mutex);
        const auto it = std::find_if(m_pending.begin(), m_pending.end(), [&](const auto& entry) {
            return entry.second.request == request;
        });
        if (it == m_pending.end()) return;
        it->second.request->Complete(status, {});
        it->second.request.reset();
        id = it->first;
    }
    const FrameHeaderBytes frame = EncodeFrameHeader(MakeCancel(id));
    std::lock_guard writeLock(m_writeMutex);
    if (!m_socket.WriteBytes(frame)) Break(kErrorDeviceNotConnected, kErrorDeviceNotConnected);
}

void DeviceConnection::Close() {
    // No cancel frames: the driver drops whatever a closed connection still had pending.
    Break(kErrorOperationAborted, kErrorInvalidHandle);
    if (m_reader.joinable()) m_reader.join();
}

void DeviceConnection::Read() {
    std::vector<std::uint8_t> answer;  // reused: grows to the largest answer once
    for (;;) {
        const std::optional<FrameHeader> header = m_socket.ReadHeader();
        if (!header || !Expected(*header) || !m_socket.ReadPayload(*header, answer) ||
            !Deliver(*header, answer)) {
            break;
        }
    }
    Break(kErrorDeviceNotConnected, kErrorDeviceNotConnected);
}

bool DeviceConnection::Expected(const FrameHeader& completion) {
    const std::uint32_t status = completion.code;
    // An answer that claims to still pend would leave its caller waiting for ever.
    if (completion.kind != FrameKind::Completion || status == kErrorIoPending ||
        status == kErrorIoIncomplete) {
        return false;
    }
    std::lock_guard lock(m_mutex);
    const auto it = m_pending.find(completion.id);
    return it != m_pending.end() && completion.inSize <= it->second.outSize;
}

bool DeviceConnection::Deliver(const FrameHeader& completion,
                               std::span<const std::uint8_t> answer) {
    std::unique_lock lock(m_mutex);
    // An answer can be read before the send of its request has returned; the buffer is not
    // touched until it has. Only Break removes an expected id meanwhile, and that ends the
    // connection.
    auto it = m_pending.end();
    m_sent.wait(lock, [&] {
        it = m_pending.find(completion.id);
        return it == m_pending.end() || it->second.sent;
    });
    if (it == m_pending.end()) return false;
    if (it->second.request) it->second.request->Complete(completion.code, answer);
    m_pending.erase(it);
    return true;
}

void DeviceConnection::Break(std::uint32_t pendingStatus, std::uint32_t laterStatus) {
    {
        std::lock_guard lock(m_mutex);
        if (m_failStatus == kErrorSuccess) {
            m_failStatus = laterStatus;
            for (auto& [id, pending] : m_pending) {
                if (pending.request) pending.request->Complete(pendingStatus, {});
            }
            m_pending.clear();
        }
    }
    m_sent.notify_all();
    m_socket.Shutdown();
}

std::uint32_t DeviceConnection::NextId() {
    // Skips 0 (a cancel for every request) and ids whose answer is still owed.
    do {
        ++m_lastId;
    } while (m_lastId == 0 || m_pending.contains(m_lastId));
    return m_lastId;
}

}  // namespace platform
