// Reception into a context's queued entries, following the kernel's per-entry rules.
#include "tests/support/fakefw/IsoContext.h"

#include <linux/firewire-cdev.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/ByteOrder.h"

namespace fakefw {

bool IsoContext::Queue(const Entry& entry, std::uint32_t limit) {
    if (m_queuedPackets + entry.packets > limit) return false;
    m_entries.push_back(entry);
    m_queuedPackets += entry.packets;
    return true;
}

void IsoContext::Flush(const Post& post) {
    if (m_headers.empty()) return;
    std::vector<std::uint8_t> event(sizeof(fw_cdev_event_iso_interrupt) + m_headers.size());
    fw_cdev_event_iso_interrupt head{};
    head.closure = m_closure;
    head.type = FW_CDEV_EVENT_ISO_INTERRUPT;
    head.cycle = m_lastStamp;
    head.header_length = std::uint32_t(m_headers.size());
    std::memcpy(event.data(), &head, sizeof head);
    // The kernel copies the headers into the structure's trailing array, which starts inside
    // its padding; the event is still sizeof + headers long.
    std::memcpy(event.data() + offsetof(fw_cdev_event_iso_interrupt, header), m_headers.data(),
                m_headers.size());
    m_headers.clear();
    post(std::move(event));
}

void IsoContext::AppendHeader(std::uint32_t header, std::uint16_t stamp,
                              std::span<const std::uint8_t> payload, const Post& post) {
    if (m_headers.size() + m_headerSize > kHeaderBufferBytes) {
        if (m_dropOverflowHeaders) return;
        Flush(post);
    }
    const std::size_t at = m_headers.size();
    m_headers.resize(at + m_headerSize, 0);
    platform::StoreBE32(&m_headers[at], header);
    if (m_headerSize > 4) platform::StoreBE32(&m_headers[at + 4], stamp);
    // Header sizes beyond 8 take the payload's first quadlets as well.
    if (m_headerSize > 8) {
        const std::size_t n = std::min<std::size_t>(m_headerSize - 8, payload.size());
        std::memcpy(&m_headers[at + 8], payload.data(), n);
    }
}

void IsoContext::Receive(std::uint32_t header, std::uint16_t stamp,
                         std::span<const std::uint8_t> payload, std::span<std::uint8_t> mapping,
                         const Post& post) {
    const unsigned tag = header >> 14 & 3;
    if (!m_running || (m_tags & 1u << tag) == 0 || m_entries.empty()) return;
    const Entry& entry = m_entries.front();
    if (m_filled == 0 && entry.sync && (header & 0xF) != m_sync) return;

    AppendHeader(header, stamp, payload, post);
    m_lastStamp = stamp;
    // What the header took is not written to the buffer again; a short packet leaves the rest
    // of its slot as it was.
    const std::size_t skip = m_headerSize > 8 ? m_headerSize - 8 : 0;
    const std::uint32_t slot = entry.payloadLength / entry.packets;
    if (payload.size() > skip && slot > 0) {
        const std::size_t at = std::size_t{entry.offset} + std::size_t{m_filled} * slot;
        const std::size_t n = std::min<std::size_t>(payload.size() - skip, slot);
        if (at + n <= mapping.size()) std::memcpy(&mapping[at], payload.data() + skip, n);
    }
    --m_queuedPackets;
    if (++m_filled < entry.packets) return;
    const bool interrupt = entry.interrupt;
    m_entries.pop_front();
    m_filled = 0;
    if (interrupt) Flush(post);
}

}  // namespace fakefw
