// A large zeroed block of memory straight from the system, as a capture ring wants it: its pages
// cost nothing until first written, the whole block goes back to the system the moment it is
// freed (the heap would keep it and let a long run grow), and it sits on huge pages where the
// system offers them, so that filling it takes one fault per 2 MiB instead of one per 4 KiB.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

class PageBlock {
public:
    PageBlock() = default;
    PageBlock(PageBlock&& other) noexcept;
    PageBlock& operator=(PageBlock&& other) noexcept;
    ~PageBlock();

    // Maps bytes zeroed bytes; false (holding nothing) when the system refuses or bytes is 0.
    bool Allocate(std::size_t bytes);
    void Free();
    // Brings every page in now, still zeroed, so that no write faults later; false when the
    // system cannot give them all (those it could not come in as they are written).
    bool Populate() const { return PopulatePages(m_pData, m_nBytes); }

    // The same for any writable mapping: the whole pages that [data, data + bytes) touches. A
    // kernel without populating counts as success, its pages coming in as they are written.
    static bool PopulatePages(std::uint8_t* data, std::size_t bytes);

    std::uint8_t* Data() const { return m_pData; }
    std::size_t Size() const { return m_nBytes; }
    explicit operator bool() const { return m_pData != nullptr; }

private:
    std::uint8_t* m_pData = nullptr;
    std::size_t m_nBytes = 0;    // asked for
    void* m_pMapping = nullptr;  // the whole mapping, aligned start included
    std::size_t m_nMapped = 0;
};

}  // namespace platform
