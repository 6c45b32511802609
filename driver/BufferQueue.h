// The buffers attached to one isochronous resource, in attach order, and how received packets
// are laid out in them: SY synchronisation, tag filtering, header quadlets kept or stripped,
// stream (packets back to back) or packet-based (one fixed slot per packet) layout.
//
// Each buffer's bytes live in a shared storage block so that a filled buffer can travel to the
// client while the next one fills; storage still on its way out is never written again. An
// attach that shared memory fills slots of it instead: a slot that anybody but the attach's
// slot list still holds (a filled buffer waiting for a read or read by the client) is not
// written, and a buffer that finds no free slot drops its packets.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "driver/BufferStorage.h"
#include "driver/PacketRun.h"
#include "driver/RequestDecoder.h"

namespace driver {

class BufferQueue {
public:
    using Storage = std::shared_ptr<BufferStorage>;
    // The slots of one attach's shared memory, shared by its buffers.
    using SharedSlots = std::shared_ptr<const std::vector<Storage>>;

    struct Layout {
        bool stripHeader = false;
        bool packetBased = false;
        bool circular = false;
        std::uint32_t bytesPerPacket = 0;  // used where a descriptor gives 0
    };

    struct Buffer {
        DescriptorRecord setup;
        std::uint64_t attachId = 0;
        Storage storage;
        bool done = false;        // filled (or sent) and not to be used again
        SharedSlots slots;        // null: the bus's own memory
        std::uint64_t cycle = 0;  // the bus cycle of the first packet it holds
        std::uint32_t received = 0;  // bytes it holds once filled: its length unless cut short
    };

    // Called for each buffer that a run filled.
    using OnFilled = std::function<void(const Buffer&)>;

    explicit BufferQueue(const Layout& layout) : m_layout(layout) {}

    // Appends a buffer; a talked buffer carries its data, a received one starts zeroed, or
    // fills the given shared slots.
    void Attach(const DescriptorRecord& setup, std::uint64_t attachId,
                std::span<const std::uint8_t> data, SharedSlots slots = nullptr);
    // Removes the oldest count buffers; returns the attach ids left without buffers.
    std::vector<std::uint64_t> Detach(std::size_t count);
    // Removes every buffer of one attach.
    void Remove(std::uint64_t attachId);
    void Clear();

    // The buffer that receives or sends next; null when none is left.
    Buffer* Current();
    const Buffer* Current() const;
    // Marks the current buffer used and moves on (wrapping round when circular).
    void Advance();
    // Forgets a partly filled buffer (reception stopped).
    void Restart() { m_fill = 0; }
    // A buffer is partly filled.
    bool Partial() const { return m_fill != 0; }

    void Receive(const PacketRun& run, const OnFilled& onFilled);
    // The frame being received ended without its last packets: a partly filled buffer goes
    // out with what it holds (the rest zeroed).
    void EndFrame(const OnFilled& onFilled);

    std::size_t Size() const { return m_buffers.size(); }
    bool AttachDone(std::uint64_t attachId) const;
    // Copies each of the attach's buffers into its place in the attach record.
    void CopyOut(std::uint64_t attachId, std::span<std::uint8_t> record) const;
    std::uint64_t DroppedPackets() const { return m_droppedPackets; }

private:
    // Removes the buffers at [first, last) and keeps the cursor on the buffer it was on.
    void Erase(std::size_t first, std::size_t last);
    bool Place(const PacketRun& run, std::size_t index, const OnFilled& onFilled);
    bool PlaceSlot(Buffer& buffer, const PacketRun& run, std::size_t index,
                   const OnFilled& onFilled);
    bool PlaceStream(const PacketRun& run, std::size_t index, const OnFilled& onFilled);
    void Fill(Buffer& buffer, const OnFilled& onFilled, bool cut = false);
    // Gives the buffer storage that nothing else holds before it is filled again; false when
    // every shared slot is taken.
    bool Renew(Buffer& buffer);

    Layout m_layout;
    std::deque<Buffer> m_buffers;
    std::size_t m_cursor = 0;
    std::size_t m_fill = 0;  // bytes written into the current buffer
    std::vector<Storage> m_pool;
    std::uint64_t m_droppedPackets = 0;
};

}  // namespace driver
