// The bytes of one isochronous buffer as the bus fills them: the daemon's own memory, or a slot
// of a memfd the client shared, where a filled buffer already lies where the client reads it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/ClientMemory.h"

namespace driver {

class BufferStorage {
public:
    // Own memory, zeroed.
    explicit BufferStorage(std::size_t bytes) : m_own(bytes), m_bytes(m_own) {}
    // One slot of memory a client shared.
    BufferStorage(std::shared_ptr<platform::ClientMemory> memory, std::size_t slot)
        : m_memory(std::move(memory)), m_bytes(m_memory->Slot(slot)), m_slot(slot) {}
    BufferStorage(const BufferStorage&) = delete;
    BufferStorage& operator=(const BufferStorage&) = delete;

    std::uint8_t* data() const { return m_bytes.data(); }
    std::size_t size() const { return m_bytes.size(); }
    const std::uint8_t* begin() const { return m_bytes.data(); }
    const std::uint8_t* end() const { return m_bytes.data() + m_bytes.size(); }

    // The shared memory this slot lies in; null for own memory.
    const platform::ClientMemory* Memory() const { return m_memory.get(); }
    std::size_t Offset() const { return m_memory ? m_slot * m_memory->SlotBytes() : 0; }
    // Ready to be written: a shared slot's pages are brought in when it is first used.
    bool Prepare() { return !m_memory || m_memory->Touch(m_slot); }

private:
    std::vector<std::uint8_t> m_own;
    std::shared_ptr<platform::ClientMemory> m_memory;  // keeps the mapping while a slot is used
    std::span<std::uint8_t> m_bytes;
    std::size_t m_slot = 0;
};

}  // namespace driver
