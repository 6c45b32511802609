// Creating and mapping memfd buffers shared with the bus driver.
#include "platform/SharedBuffer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <new>

#include "platform/PageBlock.h"

namespace platform {

SharedBuffer::SharedBuffer(std::uint8_t* data, std::size_t size, UniqueFd fd)
    : m_data(data), m_size(size), m_fd(std::move(fd)) {}

SharedBuffer::~SharedBuffer() { ::munmap(m_data, m_size); }

std::unique_ptr<SharedBuffer> SharedBuffer::Create(std::size_t bytes) {
    if (bytes == 0) {
        errno = EINVAL;
        return nullptr;
    }
    UniqueFd fd(::memfd_create("kestrix-isoch", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd || ::ftruncate(fd.Get(), static_cast<off_t>(bytes)) != 0 ||
        ::fcntl(fd.Get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        return nullptr;
    }
    void* mapped = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd.Get(), 0);
    if (mapped == MAP_FAILED) return nullptr;
    auto* data = static_cast<std::uint8_t*>(mapped);
    try {
        return std::make_unique<SharedBuffer>(data, bytes, std::move(fd));
    } catch (const std::bad_alloc&) {
        ::munmap(data, bytes);
        return nullptr;
    }
}

bool SharedBuffer::Populate(std::size_t offset, std::size_t bytes) const {
    if (offset > m_size || bytes > m_size - offset) return false;
    // In whole pages; the mapping's last page is whole too.
    return PageBlock::PopulatePages(m_data + offset, bytes);
}

}  // namespace platform
