// One client's connection to a unit socket: reads request and cancel frames, and writes answers
// back without ever blocking the bus. Answers wait in a queue while the socket is full; a
// stream buffer goes out straight from the storage it was assembled in.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <vector>

#include "platform/DeviceProtocol.h"
#include "platform/UniqueFd.h"
#include "simbus/Completion.h"

namespace simbus {

class UnitConnection {
public:
    using OnFrame =
        std::function<void(const platform::FrameHeader&, std::span<const std::uint8_t>)>;

    UnitConnection(platform::UniqueFd socket, ClientId client);

    int Fd() const { return m_socket.Get(); }
    ClientId Client() const { return m_client; }

    // Reads what the socket holds and hands each whole frame over. False when the peer closed
    // the connection or broke the framing: the connection is done.
    bool Receive(const OnFrame& onFrame);

    void Queue(Completion&& completion);
    // Writes as much as the socket takes. False when the connection broke.
    bool Flush();
    bool HasOutput() const { return !m_out.empty(); }

private:
    struct Outgoing {
        platform::FrameHeaderBytes header;
        Completion completion;
        std::size_t sent = 0;
    };

    // Hands over the whole frames at the start of the input; false on a malformed frame.
    bool Parse(const OnFrame& onFrame);

    platform::UniqueFd m_socket;
    ClientId m_client;
    std::vector<std::uint8_t> m_in;
    std::size_t m_inLength = 0;
    std::deque<Outgoing> m_out;
};

}  // namespace simbus
