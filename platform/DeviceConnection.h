// One open connection to a unit socket: the table of pending requests and the reader thread
// that completes them. Any thread may issue, cancel or close at any time; the reader thread
// runs no caller code except signalling the callers' events.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/AsyncRequestState.h"
#include "platform/DeviceSocket.h"

namespace platform {

class DeviceConnection {
public:
    // Connects and starts the reader; empty, with `error` set, on failure.
    static std::shared_ptr<DeviceConnection> Open(const std::string& path, std::uint32_t& error);
    explicit DeviceConnection(DeviceSocket socket);
    ~DeviceConnection();
    DeviceConnection(const DeviceConnection&) = delete;
    DeviceConnection& operator=(const DeviceConnection&) = delete;

    // kErrorIoPending once the request is on its way, else its final status. A valid passFd
    // goes along (a shared-buffer request) and stays the caller's.
    std::uint32_t Issue(std::uint32_t code, std::span<std::uint8_t> buffer, std::uint32_t inSize,
                        std::uint32_t outSize, const std::shared_ptr<AsyncRequest::State>& request,
                        int passFd = -1);
    void CancelAll();
    // Completes one pending request with `status` and tells the driver to drop it; nothing
    // happens when it no longer pends.
    void Cancel(const std::shared_ptr<AsyncRequest::State>& request, std::uint32_t status);
    // Aborts everything pending and ends the reader; later requests fail as on a closed handle.
    void Close();

private:
    struct Pending {
        std::shared_ptr<AsyncRequest::State> request;  // empty once cancelled
        std::uint32_t outSize = 0;
        bool sent = false;  // the issuing thread is done reading the caller's buffer
    };

    void Read();
    // Whether `completion` answers a request this connection still waits for, checked before
    // its payload is read.
    bool Expected(const FrameHeader& completion);
    bool Deliver(const FrameHeader& completion, std::span<const std::uint8_t> answer);
    // Ends every pending request with `pendingStatus`; later requests fail with `laterStatus`.
    void Break(std::uint32_t pendingStatus, std::uint32_t laterStatus);
    std::uint32_t NextId();

    DeviceSocket m_socket;
    std::mutex m_writeMutex;  // keeps frames whole on the wire and requests in id order
    std::mutex m_mutex;       // guards m_pending, m_lastId and m_failStatus
    std::condition_variable m_sent;
    // Every request the driver still owes an answer, cancelled ones included: their late
    // answer is dropped, and an answer for an id not listed here is a protocol fault.
    std::map<std::uint32_t, Pending> m_pending;
    std::uint32_t m_lastId = 0;
    std::uint32_t m_failStatus = 0;  // non-zero once broken or closed
    std::thread m_reader;
};

}  // namespace platform
