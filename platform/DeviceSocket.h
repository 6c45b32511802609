// One end of a unit-socket connection, moving whole frames of the device framing. Reads block
// until done or the deadline passes, writes until done; Shutdown from any thread wakes a
// blocked reader or writer for good.
// One thread may read while another writes; writers must take turns.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/DeviceProtocol.h"
#include "platform/UniqueFd.h"
#include "platform/UnixSocket.h"

namespace platform {

class DeviceSocket {
public:
    DeviceSocket() = default;
    explicit DeviceSocket(UniqueFd connection) : m_fd(std::move(connection)) {}

    // 0, kErrorFileNotFound when nothing listens at the path, or another error code.
    std::uint32_t Connect(const std::string& path);
    bool IsValid() const { return m_fd.IsValid(); }

    // The next frame's header; empty when the stream ended, failed, carried a malformed one or
    // the deadline passed (the stream may then stop inside a frame).
    std::optional<FrameHeader> ReadHeader(Deadline deadline = kNoDeadline);
    // The payload that follows `header`, into `payload` (resized, its capacity reused).
    bool ReadPayload(const FrameHeader& header, std::vector<std::uint8_t>& payload,
                     Deadline deadline = kNoDeadline);
    std::optional<FrameHeader> ReadFrame(std::vector<std::uint8_t>& payload);
    // passFd, when valid, travels (SCM_RIGHTS) with the first byte written; the peer gets its
    // own copy.
    bool WriteFrame(const FrameHeader& header, std::span<const std::uint8_t> payload = {},
                    int passFd = -1);
    bool WriteBytes(std::span<const std::uint8_t> head, std::span<const std::uint8_t> tail = {},
                    int passFd = -1);
    void Shutdown();

private:
    bool ReadExact(std::span<std::uint8_t> bytes, Deadline deadline);

    UniqueFd m_fd;
};

}  // namespace platform
