// One file's isochronous receive context: the entries QUEUE_ISO took, the headers gathered since
// the last interrupt, and where each arriving packet lands in the file's mapping.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <vector>

namespace fakefw {

class IsoContext {
public:
    // An event's bytes, as read(2) hands them out.
    using Post = std::function<void(std::vector<std::uint8_t>)>;

    static constexpr std::size_t kHeaderBufferBytes = 4096;  // the kernel's one page

    IsoContext(unsigned channel, std::uint32_t headerSize, std::uint64_t closure,
               bool dropOverflowHeaders)
        : m_channel(channel),
          m_headerSize(headerSize),
          m_closure(closure),
          m_dropOverflowHeaders(dropOverflowHeaders) {}

    unsigned Channel() const { return m_channel; }
    std::uint32_t HeaderSize() const { return m_headerSize; }
    bool Running() const { return m_running; }

    // One QUEUE_ISO entry: packets packets sharing payloadLength bytes at offset in the mapping.
    struct Entry {
        std::uint32_t offset = 0;
        std::uint32_t payloadLength = 0;
        std::uint32_t packets = 0;
        bool sync = false;
        bool interrupt = false;
    };
    // False when the ring holds limit packets already: the entry is not taken.
    bool Queue(const Entry& entry, std::uint32_t limit);

    void Start(unsigned sync, unsigned tags) {
        m_sync = sync;
        m_tags = tags;
        m_running = true;
    }
    void Stop() { m_running = false; }
    // Sends what headers have gathered, if any.
    void Flush(const Post& post);

    // A packet on the bus: header is its iso header quadlet, stamp the 16-bit cycle time.
    // mapping is the file's buffer (empty when it has none).
    void Receive(std::uint32_t header, std::uint16_t stamp, std::span<const std::uint8_t> payload,
                 std::span<std::uint8_t> mapping, const Post& post);

private:
    void AppendHeader(std::uint32_t header, std::uint16_t stamp,
                      std::span<const std::uint8_t> payload, const Post& post);

    unsigned m_channel;
    std::uint32_t m_headerSize;
    std::uint64_t m_closure;
    bool m_dropOverflowHeaders;  // clients of ABI versions below 5
    bool m_running = false;
    unsigned m_sync = 0;
    unsigned m_tags = 0;
    std::deque<Entry> m_entries;
    std::uint32_t m_filled = 0;  // packets of the front entry already received
    std::uint64_t m_queuedPackets = 0;
    std::vector<std::uint8_t> m_headers;
    std::uint16_t m_lastStamp = 0;
};

}  // namespace fakefw
