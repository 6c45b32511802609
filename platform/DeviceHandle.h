// A handle to one bus-driver device (a unit socket in the device directory): synchronous and
// asynchronous control requests over one connection. One buffer serves as input and output:
// the driver's answer overwrites it from the start (at most outSize bytes).
//
// As with overlapped I/O: GetResult(wait=true) waits on the request's event; if the event was
// signalled while the request still pends, it reports kErrorIoIncomplete. CancelAll completes
// every pending request as kErrorOperationAborted; Close (and the destructor) cancels first.
// A connection that breaks or carries a malformed frame completes everything pending with an
// error and leaves the handle failing every later request.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/AsyncRequest.h"

namespace platform {

class DeviceHandle {
public:
    DeviceHandle();
    ~DeviceHandle();
    DeviceHandle(DeviceHandle&&) noexcept;
    DeviceHandle& operator=(DeviceHandle&&) noexcept;

    // 0 on success, else an error code (kErrorFileNotFound when nothing listens there).
    std::uint32_t Open(const std::string& path);
    bool IsOpen() const;
    void Close();

    // The bound for a register or control request: a real bus answers an asynchronous
    // transaction in well under a millisecond, so a second means the other side is stuck.
    static constexpr std::chrono::milliseconds kRequestTimeout{1000};
    static constexpr std::chrono::milliseconds kNoTimeout = std::chrono::milliseconds::max();

    // Sends a request and waits for its answer, at most timeout: a request still pending then
    // is cancelled and fails with kErrorSemTimeout. Returns the status (0 success).
    std::uint32_t Request(std::uint32_t code, std::span<std::uint8_t> buffer, std::uint32_t inSize,
                          std::uint32_t outSize, std::uint32_t* bytesReturned = nullptr,
                          std::chrono::milliseconds timeout = kNoTimeout);

    // Starts a request: kErrorIoPending while it pends, else its final status. A valid passFd
    // (the memfd of an attach-buffers request) is passed to the driver, which gets its own copy.
    std::uint32_t Issue(std::uint32_t code, std::span<std::uint8_t> buffer, std::uint32_t inSize,
                        std::uint32_t outSize, AsyncRequest& request, int passFd = -1);
    // The request's final status, kErrorIoIncomplete while it still pends.
    std::uint32_t GetResult(AsyncRequest& request, std::uint32_t* bytesReturned, bool wait);
    // Waits at most timeout for the request's final status, ignoring its event; a request
    // still pending then is cancelled and reported as kErrorSemTimeout.
    std::uint32_t GetResultWithin(AsyncRequest& request, std::uint32_t* bytesReturned,
                                  std::chrono::milliseconds timeout);
    void CancelAll();

    class Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace platform
