// Receive memory that a client handed a bus daemon with a request (a memfd), taken under the
// rules that keep the daemon safe from whatever the client does with it afterwards:
//
// - Sealed against shrinking before its size is read: a file that shrank under the mapping would
//   turn the daemon's next write into SIGBUS. Memory that cannot be sealed (not a memfd, created
//   without MFD_ALLOW_SEALING) or carries a write seal is refused.
// - Mapped only as far as the request uses it: whole slots, no more than asked for and no more
//   than the client's budget allows; the rest of the file is never mapped.
// - Touched a slot at a time, when the slot is first filled, so a sparse file costs the daemon
//   no more than the frames it really receives, and populating never takes longer than writing
//   one frame.
// - Charged to the client's budget for as long as the mapping lives.
//
// Single-threaded, like the budget it charges.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/ClientMemoryBudget.h"
#include "platform/SharedBuffer.h"

namespace platform {

class ClientMemory {
public:
    // The memory is cut into slots of `bytes`: it must hold `fewest`; up to `most` are used.
    struct Slots {
        std::size_t bytes = 0;
        std::size_t fewest = 0;
        std::size_t most = 0;
    };

    // Adopts a descriptor a client passed (it stays the caller's). status is kErrorSuccess,
    // kErrorInvalidParameter for memory that does not qualify, or kErrorNotEnoughMemory when
    // the fewest slots would take the client past its budget.
    static std::unique_ptr<ClientMemory> Adopt(int fd, const Slots& slots,
                                               ClientMemoryBudget& budget, std::uint64_t client,
                                               std::uint32_t& status);

    ClientMemory(std::uint8_t* data, std::size_t slotBytes, std::size_t slotCount,
                 ClientMemoryBudget::Charge charge);
    ClientMemory(const ClientMemory&) = delete;
    ClientMemory& operator=(const ClientMemory&) = delete;

    std::size_t SlotCount() const { return m_touched.size(); }
    std::size_t SlotBytes() const { return m_slotBytes; }
    std::span<std::uint8_t> Slot(std::size_t index) const;
    // Brings the slot's pages in, once; false when the system cannot give them (the slot must
    // not be written then).
    bool Touch(std::size_t index);
    std::uint64_t HeldBytes() const { return m_charge.Bytes(); }

private:
    SharedBuffer m_mapping;
    std::size_t m_slotBytes;
    std::vector<bool> m_touched;
    ClientMemoryBudget::Charge m_charge;
};

}  // namespace platform
