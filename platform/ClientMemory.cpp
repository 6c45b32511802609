// Adopting, mapping and touching memory a client passed to a bus daemon.
#include "platform/ClientMemory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <new>

#include "platform/ErrorCodes.h"

namespace platform {

namespace {

// Sealed against shrinking, by the creator or now; false for memory that cannot be, or that
// the daemon could not write.
bool SealAgainstShrinking(int fd) {
    const int seals = ::fcntl(fd, F_GET_SEALS);
    if (seals < 0) return false;  // not a memfd
    if (seals & (F_SEAL_WRITE | F_SEAL_FUTURE_WRITE)) return false;
    return (seals & F_SEAL_SHRINK) != 0 || ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK) == 0;
}

}  // namespace

std::unique_ptr<ClientMemory> ClientMemory::Adopt(int fd, const Slots& slots,
                                                  ClientMemoryBudget& budget,
                                                  std::uint64_t client, std::uint32_t& status) {
    status = kErrorInvalidParameter;
    if (fd < 0 || slots.bytes == 0 || slots.fewest == 0 || slots.most < slots.fewest) {
        return nullptr;
    }
    // The size is read only once it can no longer go down: read first, it could shrink between
    // the reading and the sealing.
    struct stat info {};
    if (!SealAgainstShrinking(fd) || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size < 0) {
        return nullptr;
    }
    const std::uint64_t inFile = static_cast<std::uint64_t>(info.st_size) / slots.bytes;
    if (inFile < slots.fewest) return nullptr;
    const std::uint64_t affordable = budget.Room(client) / slots.bytes;
    const std::size_t count = std::size_t(std::min<std::uint64_t>({inFile, slots.most, affordable}));
    if (count < slots.fewest) {
        status = kErrorNotEnoughMemory;
        return nullptr;
    }
    const std::size_t bytes = count * slots.bytes;
    ClientMemoryBudget::Charge charge = budget.Take(client, bytes);
    void* data = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
        status = kErrorNotEnoughMemory;
        return nullptr;
    }
    try {
        auto memory = std::make_unique<ClientMemory>(static_cast<std::uint8_t*>(data), slots.bytes,
                                                     count, std::move(charge));
        status = kErrorSuccess;
        return memory;
    } catch (const std::bad_alloc&) {
        ::munmap(data, bytes);
        status = kErrorNotEnoughMemory;
        return nullptr;
    }
}

ClientMemory::ClientMemory(std::uint8_t* data, std::size_t slotBytes, std::size_t slotCount,
                           ClientMemoryBudget::Charge charge)
    : m_mapping(data, slotBytes * slotCount, UniqueFd()),
      m_slotBytes(slotBytes),
      m_touched(slotCount, false),
      m_charge(std::move(charge)) {}

std::span<std::uint8_t> ClientMemory::Slot(std::size_t index) const {
    return m_mapping.Bytes().subspan(index * m_slotBytes, m_slotBytes);
}

bool ClientMemory::Touch(std::size_t index) {
    if (index >= m_touched.size()) return false;
    if (m_touched[index]) return true;
    // The mapping lies within the sealed file, so populating it cannot fault.
    if (!m_mapping.Populate(index * m_slotBytes, m_slotBytes)) return false;
    m_touched[index] = true;
    return true;
}

}  // namespace platform
