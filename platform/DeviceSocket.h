// One end of a unit-socket connection, moving whole frames of the device framing. Reads block
// until done or the deadline passes, writes until done; Shutdown from any thread wakes a
// blocked reader or writer for good.
// One thread may read while another writes; writers must take turns.
#pragma once

#include <chrono>
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
    // The answer of a peer that answers one request at a time and sends nothing unasked, so
    // that whatever arrives is that one frame: waited for in the read itself and read whole in
    // one call when it came whole, its payload into `payload`. Empty as ReadHeader is, and when
    // the payload is longer than maxPayload or bytes follow the frame (then the stream is out
    // of step).
    std::optional<FrameHeader> ReadAnswer(std::vector<std::uint8_t>& payload,
                                          std::size_t maxPayload, Deadline deadline);
    // passFd, when valid, travels (SCM_RIGHTS) with the first byte written; the peer gets its
    // own copy.
    bool WriteFrame(const FrameHeader& header, std::span<const std::uint8_t> payload = {},
                    int passFd = -1);
    bool WriteBytes(std::span<const std::uint8_t> head, std::span<const std::uint8_t> tail = {},
                    int passFd = -1);
    void Shutdown();

private:
    bool ReadExact(std::span<std::uint8_t> bytes, Deadline deadline);
    // Lets a read without MSG_DONTWAIT wait until the deadline (every other call passes
    // MSG_DONTWAIT, so they are unchanged); false when it cannot, or the deadline has passed.
    bool WaitInReadsUntil(Deadline deadline);

    UniqueFd m_fd;
    bool m_blockingReads = false;                 // O_NONBLOCK cleared
    std::chrono::milliseconds m_readTimeout{-1};  // SO_RCVTIMEO as last set, 0 none; -1 never set
};

}  // namespace platform
