// Zeroed memory mapped from the system, on huge pages where offered.
#include "platform/PageBlock.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace platform {
namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
}  // namespace

PageBlock::PageBlock(PageBlock&& other) noexcept
    : m_pData(std::exchange(other.m_pData, nullptr)),
      m_nBytes(std::exchange(other.m_nBytes, 0)),
      m_pMapping(std::exchange(other.m_pMapping, nullptr)),
      m_nMapped(std::exchange(other.m_nMapped, 0)) {}

PageBlock& PageBlock::operator=(PageBlock&& other) noexcept {
    if (this != &other) {
        Free();
        m_pData = std::exchange(other.m_pData, nullptr);
        m_nBytes = std::exchange(other.m_nBytes, 0);
        m_pMapping = std::exchange(other.m_pMapping, nullptr);
        m_nMapped = std::exchange(other.m_nMapped, 0);
    }
    return *this;
}

PageBlock::~PageBlock() { Free(); }

bool PageBlock::Allocate(std::size_t bytes) {
    Free();
    if (bytes == 0 || bytes > SIZE_MAX - kHugePage) return false;
    // A block of a huge page or more starts on a huge-page boundary, so that all of it can sit
    // on huge pages; the slack before and after stays mapped but is never touched.
    const bool huge = bytes >= kHugePage;
    const std::size_t mapped = huge ? bytes + kHugePage : bytes;
    void* mapping =
        ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return false;
    auto* start = static_cast<std::uint8_t*>(mapping);
    if (huge) {
        const auto address = reinterpret_cast<std::uintptr_t>(start);
        start += (kHugePage - address % kHugePage) % kHugePage;
        // Only advice: a system without huge pages keeps small ones.
        ::madvise(start, bytes - bytes % kHugePage, MADV_HUGEPAGE);
    }
    m_pMapping = mapping;
    m_nMapped = mapped;
    m_pData = start;
    m_nBytes = bytes;
    return true;
}

bool PageBlock::PopulatePages(std::uint8_t* data, std::size_t bytes) {
    if (data == nullptr || bytes == 0) return true;
    static const std::uintptr_t page = std::uintptr_t(::sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = start & ~(page - 1);
    const std::uintptr_t end = (start + bytes + page - 1) & ~(page - 1);
    int result = 0;
    do {
        result = ::madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
    } while (result != 0 && errno == EINTR);
    return result == 0 || errno == EINVAL;
}

void PageBlock::Free() {
    if (m_pMapping != nullptr) ::munmap(m_pMapping, m_nMapped);
    m_pMapping = nullptr;
    m_nMapped = 0;
    m_pData = nullptr;
    m_nBytes = 0;
}

}  // namespace platform
