// Creating and mapping memfd buffers shared with the bus driver.
#include "platform/SharedBuffer.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <cerrno>
#include <new>

namespace platform {

namespace {

// Populated at once: the first frames would otherwise pay a page fault per 4 KiB, long enough
// at a high frame rate to lose them.
std::uint8_t* MapShared(int fd, std::size_t bytes) {
    void* data = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
    return data == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(data);
}

}  // namespace

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
    std::uint8_t* data = MapShared(fd.Get(), bytes);
    if (data == nullptr) return nullptr;
    try {
        return std::make_unique<SharedBuffer>(data, bytes, std::move(fd));
    } catch (const std::bad_alloc&) {
        ::munmap(data, bytes);
        return nullptr;
    }
}

}  // namespace platform
