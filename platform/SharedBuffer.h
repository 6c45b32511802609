// Memory shared with the bus driver for isochronous data: a memfd mapped read/write by both
// processes, so the driver assembles packets where the program reads them, as a host adapter's
// DMA fills the driver's buffer in place.
//
// The program creates the buffer (sealed against shrinking, so the driver never touches pages
// that went away) and passes its descriptor once; the driver adopts a passed descriptor only
// after checking it. A mapping lives as long as the object; the descriptor can go earlier.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "platform/UniqueFd.h"

namespace platform {

class SharedBuffer {
public:
    // A zeroed buffer of `bytes`; empty (errno set) when it cannot be made.
    static std::unique_ptr<SharedBuffer> Create(std::size_t bytes);
    // Maps a descriptor another process passed, refusing (empty) anything but a memfd of at
    // least minBytes whose size is sealed against shrinking (the seal is added when the creator
    // allowed sealing) and that may be written. Maps the whole file, but no more than maxBytes
    // (nor less than minBytes). The descriptor stays the caller's.
    static std::unique_ptr<SharedBuffer> Adopt(int fd, std::size_t minBytes, std::size_t maxBytes);

    // Takes over a mapping of `size` bytes at `data`.
    SharedBuffer(std::uint8_t* data, std::size_t size, UniqueFd fd);
    ~SharedBuffer();
    SharedBuffer(const SharedBuffer&) = delete;
    SharedBuffer& operator=(const SharedBuffer&) = delete;

    std::span<std::uint8_t> Bytes() const { return {m_data, m_size}; }
    // The descriptor to pass; invalid after Adopt or once closed.
    int Fd() const { return m_fd.Get(); }
    // Once passed, the mapping alone keeps the memory.
    void CloseFd() { m_fd.Reset(); }

private:
    std::uint8_t* m_data;
    std::size_t m_size;
    UniqueFd m_fd;
};

}  // namespace platform
