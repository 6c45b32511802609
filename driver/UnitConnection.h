// One client's connection to a unit socket: reads request and cancel frames, and writes answers
// back without ever blocking the bus. Answers wait in a queue while the socket is full; a
// stream buffer goes out straight from the storage it was assembled in.
//
// Descriptors: a shared-buffer request ('KXRM') takes the oldest descriptor that came with the
// stream and not yet taken, for the time it is handled; it is closed afterwards. A 'KXRM' frame
// without one gets -1. More than kMaxQueuedFds waiting, or a truncated set, ends the connection.
//
// Bounds: the input buffer grows as bytes arrive (a header that declares a large payload
// commits nothing), and is let go when the connection idles; once the unsent answers pass
// kMaxQueuedBytes the connection takes no more requests (backpressure) until they drain, so a
// client that sends requests and never reads cannot grow the daemon without limit.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "driver/Completion.h"
#include "platform/DeviceProtocol.h"
#include "platform/UniqueFd.h"

struct msghdr;

namespace driver {

class UnitConnection {
public:
    // The descriptor (-1 for none) is valid only during the call.
    using OnFrame = std::function<void(const platform::FrameHeader&, std::span<const std::uint8_t>,
                                       int passedFd)>;

    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kMaxQueuedBytes = 64u << 20;
    static constexpr std::size_t kMaxQueuedFds = 8;

    UnitConnection(platform::UniqueFd socket, ClientId client);

    int Fd() const { return m_socket.Get(); }
    ClientId Client() const { return m_client; }

    // Reads what the socket holds and hands each whole frame over, while not backlogged. False
    // when the peer closed the connection or broke the framing: the connection is done.
    bool Receive(const OnFrame& onFrame);
    // Hands over the whole frames already read that a backlog held back.
    bool Resume(const OnFrame& onFrame) { return Parse(onFrame); }
    bool HasInput() const { return m_inLength != 0; }
    // Lets the input buffer go when nothing came since the last call.
    void TrimIfIdle();

    // More unsent answers than kMaxQueuedBytes: take no requests until they drain.
    bool Backlogged() const { return m_outBytes > kMaxQueuedBytes; }
    // Since when it has been backlogged without a pause; empty when it is not.
    std::optional<Clock::time_point> BackloggedSince() const { return m_backloggedSince; }
    std::size_t BufferedBytes() const { return m_in.capacity() + m_outBytes; }

    void Queue(Completion&& completion);
    // Writes as much as the socket takes. False when the connection broke.
    bool Flush();
    bool HasOutput() const { return !m_out.empty(); }

    // The poll events the server last asked for on this socket, so it asks only on a change.
    std::uint32_t WatchedEvents() const { return m_watchedEvents; }
    void SetWatchedEvents(std::uint32_t events) { m_watchedEvents = events; }

private:
    struct Outgoing {
        platform::FrameHeaderBytes header;
        Completion completion;
        std::size_t sent = 0;
    };

    // Hands over the whole frames at the start of the input; false on a malformed frame.
    bool Parse(const OnFrame& onFrame);
    // Keeps the descriptors a read brought; false when there were too many.
    bool TakeDescriptors(const msghdr& message);

    platform::UniqueFd m_socket;
    ClientId m_client;
    std::deque<platform::UniqueFd> m_fds;  // passed, not yet taken by a frame
    std::vector<std::uint8_t> m_in;
    std::size_t m_inLength = 0;
    std::deque<Outgoing> m_out;
    std::size_t m_outBytes = 0;  // unsent bytes of m_out
    bool m_bReceived = false;    // bytes came since the last TrimIfIdle
    std::optional<Clock::time_point> m_backloggedSince;
    std::uint32_t m_watchedEvents = 0;
};

}  // namespace driver
