// Memory shared with the bus driver for isochronous data: a memfd mapped read/write by both
// processes, so the driver assembles packets where the program reads them, as a host adapter's
// DMA fills the driver's buffer in place.
//
// The program creates the buffer (sealed against shrinking and growing) and passes its
// descriptor with the attach; the driver takes a passed descriptor only as ClientMemory.h
// allows. A mapping lives as long as the object; the descriptor can go earlier, or be kept to
// pass the same memory again.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "platform/UniqueFd.h"

namespace platform {

class SharedBuffer {
public:
    // A zeroed buffer of `bytes`; empty (errno set) when it cannot be made. Its pages come in
    // as they are first used (or with Populate), so making it costs next to nothing.
    static std::unique_ptr<SharedBuffer> Create(std::size_t bytes);

    // Takes over a mapping of `size` bytes at `data`.
    SharedBuffer(std::uint8_t* data, std::size_t size, UniqueFd fd);
    ~SharedBuffer();
    SharedBuffer(const SharedBuffer&) = delete;
    SharedBuffer& operator=(const SharedBuffer&) = delete;

    std::span<std::uint8_t> Bytes() const { return {m_data, m_size}; }
    // Brings in the pages of [offset, offset + bytes) for writing, so that filling them later
    // pays no page faults; false when the system cannot give them.
    bool Populate(std::size_t offset, std::size_t bytes) const;
    // The descriptor to pass; invalid once closed.
    int Fd() const { return m_fd.Get(); }
    // Once passed, the mapping alone keeps the memory.
    void CloseFd() { m_fd.Reset(); }

private:
    std::uint8_t* m_data;
    std::size_t m_size;
    UniqueFd m_fd;
};

}  // namespace platform
