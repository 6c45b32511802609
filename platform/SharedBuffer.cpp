// Creating, checking and mapping memfd buffers shared with the bus driver.
#include "platform/SharedBuffer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <new>

namespace platform {

namespace {

// Populated at once: the first frames would otherwise pay a page fault per 4 KiB on both sides,
// long enough at a high frame rate to lose them.
std::uint8_t* MapShared(int fd, std::size_t bytes) {
    void* data = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
    return data == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(data);
}

// A file that can no longer shrink: either sealed so already, or sealed now.
bool SealedAgainstShrinking(int fd) {
    const int seals = ::fcntl(fd, F_GET_SEALS);
    if (seals < 0) return false;  // not a memfd
    if (seals & (F_SEAL_WRITE | F_SEAL_FUTURE_WRITE)) return false;
    return (seals & F_SEAL_SHRINK) != 0 || ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK) == 0;
}

std::unique_ptr<SharedBuffer> Wrap(int fd, std::size_t bytes, UniqueFd keep) {
    std::uint8_t* data = MapShared(fd, bytes);
    if (data == nullptr) return nullptr;
    try {
        return std::make_unique<SharedBuffer>(data, bytes, std::move(keep));
    } catch (const std::bad_alloc&) {
        ::munmap(data, bytes);
        return nullptr;
    }
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
    const int raw = fd.Get();
    return Wrap(raw, bytes, std::move(fd));
}

std::unique_ptr<SharedBuffer> SharedBuffer::Adopt(int fd, std::size_t minBytes,
                                                  std::size_t maxBytes) {
    struct stat info {};
    if (fd < 0 || minBytes == 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) < minBytes ||
        !SealedAgainstShrinking(fd)) {
        return nullptr;
    }
    const auto size = static_cast<std::uint64_t>(info.st_size);
    return Wrap(fd, std::max<std::size_t>(minBytes, std::min<std::uint64_t>(size, maxBytes)),
                UniqueFd());
}

}  // namespace platform
