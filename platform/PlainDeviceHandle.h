// A device handle for synchronous requests only, as a handle opened without overlapped I/O:
// the calling thread sends its request and reads the answer itself, so a request costs one
// round trip to the driver and no hand-off to a reader thread.
//
// Threading: any thread may call any operation; requests on one handle take turns, as
// synchronous requests on one plain handle do, and Close waits for the one in progress. A request
// still unanswered at its time-out, or a malformed answer, ends the connection (the driver drops
// what a closed connection had pending), so no late answer is ever read as another request's.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/DeviceSocket.h"

namespace platform {

class PlainDeviceHandle {
public:
    // 0 on success, else an error code (kErrorFileNotFound when nothing listens there).
    std::uint32_t Open(const std::string& path);
    bool IsOpen() const;
    void Close();

    // Sends a request and waits at most timeout for its answer, which overwrites the start of
    // buffer (at most outSize bytes). The status (0 success): kErrorSemTimeout when no answer
    // came in time, kErrorDeviceNotConnected when the connection broke (then and for every
    // later request), kErrorInvalidHandle when not open.
    std::uint32_t Request(std::uint32_t code, std::span<std::uint8_t> buffer, std::uint32_t inSize,
                          std::uint32_t outSize, std::uint32_t* bytesReturned,
                          std::chrono::milliseconds timeout);

private:
    // Reads the answer to id; its status, or an error after breaking.
    std::uint32_t Await(std::uint32_t id, std::uint32_t outSize, Deadline deadline);
    std::uint32_t Break(std::uint32_t status);

    mutable std::mutex m_mutex;  // guards every field; held for a whole request
    DeviceSocket m_socket;
    std::uint32_t m_lastId = 0;
    std::uint32_t m_failStatus = 0;      // non-zero once broken
    std::vector<std::uint8_t> m_answer;  // reused: grows to the largest answer once
};

}  // namespace platform
