// Device handles: a movable front for one shared connection, so that a thread still inside a
// request keeps the connection alive while another thread closes the handle.
#include "platform/DeviceHandle.h"

#include "platform/DeviceConnection.h"
#include "platform/ErrorCodes.h"

namespace platform {

class DeviceHandle::Impl {
public:
    std::shared_ptr<DeviceConnection> Connection() const {
        std::lock_guard lock(m_mutex);
        return m_connection;
    }
    std::shared_ptr<DeviceConnection> Exchange(std::shared_ptr<DeviceConnection> next) {
        std::lock_guard lock(m_mutex);
        m_connection.swap(next);
        return next;
    }

private:
    mutable std::mutex m_mutex;  // guards m_connection
    std::shared_ptr<DeviceConnection> m_connection;
};

DeviceHandle::DeviceHandle() : m_impl(std::make_unique<Impl>()) {}

DeviceHandle::~DeviceHandle() { Close(); }

DeviceHandle::DeviceHandle(DeviceHandle&&) noexcept = default;

DeviceHandle& DeviceHandle::operator=(DeviceHandle&& other) noexcept {
    if (this != &other) {
        Close();
        m_impl = std::move(other.m_impl);
    }
    return *this;
}

std::uint32_t DeviceHandle::Open(const std::string& path) {
    Close();
    if (!m_impl) m_impl = std::make_unique<Impl>();
    std::uint32_t error = kErrorSuccess;
    if (auto connection = DeviceConnection::Open(path, error))
        m_impl->Exchange(std::move(connection));
    return error;
}

bool DeviceHandle::IsOpen() const { return m_impl && m_impl->Connection(); }

void DeviceHandle::Close() {
    if (!m_impl) return;
    if (const auto connection = m_impl->Exchange(nullptr)) connection->Close();
}

std::uint32_t DeviceHandle::Request(std::uint32_t code, std::span<std::uint8_t> buffer,
                                    std::uint32_t inSize, std::uint32_t outSize,
                                    std::uint32_t* bytesReturned,
                                    std::chrono::milliseconds timeout) {
    AsyncRequest request;  // no event: the wait below is on the request itself
    const std::uint32_t status = Issue(code, buffer, inSize, outSize, request);
    if (status == kErrorIoPending) {
        if (timeout == kNoTimeout) return GetResult(request, bytesReturned, true);
        return GetResultWithin(request, bytesReturned, timeout);
    }
    if (bytesReturned != nullptr) *bytesReturned = 0;
    return status;
}

std::uint32_t DeviceHandle::Issue(std::uint32_t code, std::span<std::uint8_t> buffer,
                                  std::uint32_t inSize, std::uint32_t outSize,
                                  AsyncRequest& request, int passFd) {
    const auto connection = m_impl ? m_impl->Connection() : nullptr;
    if (!connection) return kErrorInvalidHandle;
    return connection->Issue(code, buffer, inSize, outSize, request.GetState(), passFd);
}

std::uint32_t DeviceHandle::GetResult(AsyncRequest& request, std::uint32_t* bytesReturned,
                                      bool wait) {
    if (wait) request.GetState()->Wait();
    return request.GetState()->Result(bytesReturned);
}

std::uint32_t DeviceHandle::GetResultWithin(AsyncRequest& request, std::uint32_t* bytesReturned,
                                            std::chrono::milliseconds timeout) {
    const auto& state = request.GetState();
    // Without a connection any more, its close has completed the request already.
    const auto connection = m_impl ? m_impl->Connection() : nullptr;
    if (!state->WaitFor(timeout) && connection) connection->Cancel(state, kErrorSemTimeout);
    return state->Result(bytesReturned);
}

void DeviceHandle::CancelAll() {
    if (const auto connection = m_impl ? m_impl->Connection() : nullptr) connection->CancelAll();
}

}  // namespace platform
