// Laying received packets out in the attached buffers.
#include "driver/BufferQueue.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "driver/RequestCodes.h"
#include "platform/ByteOrder.h"

namespace driver {
namespace {

std::uint32_t ModeOf(const BufferQueue::Buffer& buffer) {
    return buffer.setup.flags & ~kDescriptorMarker;
}

}  // namespace

void BufferQueue::Attach(const DescriptorRecord& setup, std::uint64_t attachId,
                         std::span<const std::uint8_t> data, SharedSlots slots) {
    Buffer buffer{setup, attachId, nullptr, false, std::move(slots)};
    if (!data.empty()) {
        buffer.storage = std::make_shared<BufferStorage>(data.size());
        std::copy(data.begin(), data.end(), buffer.storage->data());
    }
    m_buffers.push_back(std::move(buffer));
}

std::vector<std::uint64_t> BufferQueue::Detach(std::size_t count) {
    count = std::min(count, m_buffers.size());
    std::vector<std::uint64_t> removed;
    for (std::size_t i = 0; i < count; ++i) removed.push_back(m_buffers[i].attachId);
    Erase(0, count);
    std::vector<std::uint64_t> gone;
    for (const std::uint64_t id : removed) {
        const bool left = std::any_of(m_buffers.begin(), m_buffers.end(),
                                      [id](const Buffer& b) { return b.attachId == id; });
        if (!left && std::find(gone.begin(), gone.end(), id) == gone.end()) gone.push_back(id);
    }
    return gone;
}

void BufferQueue::Remove(std::uint64_t attachId) {
    for (std::size_t i = m_buffers.size(); i-- > 0;) {
        if (m_buffers[i].attachId == attachId) Erase(i, i + 1);
    }
}

void BufferQueue::Erase(std::size_t first, std::size_t last) {
    m_buffers.erase(m_buffers.begin() + std::ptrdiff_t(first),
                    m_buffers.begin() + std::ptrdiff_t(last));
    if (m_cursor >= last) {
        m_cursor -= last - first;
    } else if (m_cursor >= first) {
        // The buffer being filled went: the next one starts afresh.
        m_cursor = first;
        m_fill = 0;
    }
    if (m_cursor >= m_buffers.size() && m_layout.circular) m_cursor = 0;
}

void BufferQueue::Clear() {
    m_buffers.clear();
    m_cursor = 0;
    m_fill = 0;
}

BufferQueue::Buffer* BufferQueue::Current() {
    return const_cast<Buffer*>(std::as_const(*this).Current());
}

const BufferQueue::Buffer* BufferQueue::Current() const {
    if (m_cursor >= m_buffers.size()) return nullptr;
    const Buffer& buffer = m_buffers[m_cursor];
    return buffer.done ? nullptr : &buffer;
}

void BufferQueue::Advance() {
    if (m_cursor >= m_buffers.size()) return;
    m_fill = 0;
    if (!m_layout.circular) m_buffers[m_cursor].done = true;
    if (++m_cursor == m_buffers.size() && m_layout.circular) m_cursor = 0;
}

void BufferQueue::Receive(const PacketRun& run, const OnFilled& onFilled) {
    const std::size_t count = run.PacketCount();
    for (std::size_t i = 0; i < count; ++i) {
        if (!Place(run, i, onFilled)) {
            m_droppedPackets += count - i;
            return;
        }
    }
}

bool BufferQueue::AttachDone(std::uint64_t attachId) const {
    return std::all_of(m_buffers.begin(), m_buffers.end(),
                       [attachId](const Buffer& b) { return b.attachId != attachId || b.done; });
}

void BufferQueue::CopyOut(std::uint64_t attachId, std::span<std::uint8_t> record) const {
    for (const Buffer& buffer : m_buffers) {
        if (buffer.attachId != attachId || !buffer.storage) continue;
        const std::size_t at = buffer.setup.dataOffset;
        if (at > record.size()) continue;
        // A shared slot may be longer than the descriptor it served.
        const std::size_t n = std::min(
            {buffer.storage->size(), std::size_t{buffer.setup.length}, record.size() - at});
        std::memcpy(record.data() + at, buffer.storage->data(), n);
    }
}

// False when no buffer is left to take the packet.
bool BufferQueue::Place(const PacketRun& run, std::size_t index, const OnFilled& onFilled) {
    Buffer* buffer = Current();
    if (buffer == nullptr) return false;
    const std::uint32_t mode = ModeOf(*buffer);
    if (mode == kDescriptorTag && run.tag != buffer->setup.tagValue) return true;
    if (m_fill == 0) {
        const unsigned sy = index == 0 ? run.firstSy : 0;
        // A synchronised buffer starts with the packet that carries the SY value.
        if (mode == kDescriptorSync && sy != buffer->setup.syncValue) return true;
        if (!Renew(*buffer)) return false;
        buffer->cycle = run.cycle + index;
    }
    return m_layout.packetBased ? PlaceSlot(*buffer, run, index, onFilled)
                                : PlaceStream(run, index, onFilled);
}

bool BufferQueue::PlaceSlot(Buffer& buffer, const PacketRun& run, std::size_t index,
                            const OnFilled& onFilled) {
    const std::uint32_t payloadRoom =
        buffer.setup.bytesPerPacket != 0 ? buffer.setup.bytesPerPacket : m_layout.bytesPerPacket;
    const std::size_t slot = (m_layout.stripHeader ? 0 : 4) + std::size_t{payloadRoom};
    const std::size_t length = buffer.setup.length;
    std::uint8_t* at = buffer.storage->data() + m_fill;
    const std::size_t room = std::min(slot, length - m_fill);
    std::size_t written = 0;
    if (!m_layout.stripHeader) {
        std::uint8_t header[4];
        platform::StoreLE32(header, run.HeaderOf(index));
        written = std::min<std::size_t>(4, room);
        std::memcpy(at, header, written);
    }
    const std::span<const std::uint8_t> packet = run.Packet(index);
    const std::size_t n = std::min({packet.size(), std::size_t{payloadRoom}, room - written});
    std::memcpy(at + written, packet.data(), n);
    written += n;
    std::memset(at + written, 0, room - written);
    m_fill += room;
    if (length - m_fill < slot) Fill(buffer, onFilled);
    return true;
}

bool BufferQueue::PlaceStream(const PacketRun& run, std::size_t index, const OnFilled& onFilled) {
    std::uint8_t header[4];
    platform::StoreLE32(header, run.HeaderOf(index));
    const std::span<const std::uint8_t> parts[2] = {m_layout.stripHeader
                                                        ? std::span<const std::uint8_t>()
                                                        : std::span<const std::uint8_t>(header),
                                                    run.Packet(index)};
    bool packetStart = true;
    for (std::span<const std::uint8_t> part : parts) {
        while (!part.empty()) {
            Buffer* buffer = Current();
            if (buffer == nullptr) return false;
            if (m_fill == 0 && !packetStart) {
                // The rest of a packet cannot begin a buffer that waits for a frame start.
                if (ModeOf(*buffer) == kDescriptorSync) return true;
                if (!Renew(*buffer)) return false;
                buffer->cycle = run.cycle + index;
            }
            packetStart = false;
            const std::size_t n = std::min(part.size(), buffer->setup.length - m_fill);
            std::memcpy(buffer->storage->data() + m_fill, part.data(), n);
            m_fill += n;
            part = part.subspan(n);
            if (m_fill == buffer->setup.length) {
                const bool synchronised = ModeOf(*buffer) == kDescriptorSync;
                Fill(*buffer, onFilled);
                // A synchronised buffer ends its frame: what is left waits for the next SY.
                if (synchronised) return true;
            }
        }
    }
    return true;
}

void BufferQueue::EndFrame(const OnFilled& onFilled) {
    if (Buffer* buffer = Current(); buffer != nullptr && Partial()) Fill(*buffer, onFilled, true);
}

void BufferQueue::Fill(Buffer& buffer, const OnFilled& onFilled, bool cut) {
    const std::size_t length = buffer.setup.length;
    buffer.received = std::uint32_t(cut ? m_fill : length);
    if (m_fill < length) std::memset(buffer.storage->data() + m_fill, 0, length - m_fill);
    Advance();
    onFilled(buffer);
}

bool BufferQueue::Renew(Buffer& buffer) {
    // Let go first: when nothing else holds the buffer's last storage, it is reused at once.
    buffer.storage.reset();
    const std::size_t bytes = buffer.setup.length;
    if (buffer.slots) {
        // Held only by the slot list: neither waiting for a read nor in the client's hands.
        for (const Storage& slot : *buffer.slots) {
            if (slot.use_count() == 1 && slot->Prepare()) {
                buffer.storage = slot;
                return true;
            }
        }
        return false;
    }
    // Storage that only the pool still holds is free again.
    for (const Storage& storage : m_pool) {
        if (storage.use_count() == 1 && storage->size() == bytes) {
            buffer.storage = storage;
            return true;
        }
    }
    std::erase_if(m_pool, [](const Storage& s) { return s.use_count() == 1; });
    buffer.storage = std::make_shared<BufferStorage>(bytes);
    m_pool.push_back(buffer.storage);
    return true;
}

}  // namespace driver
