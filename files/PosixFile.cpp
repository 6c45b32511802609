// Positioned writes on a raw file descriptor.
#include "files/PosixFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cerrno>
#include <utility>

#include "files/CFileException.h"

namespace files {

PosixFile::~PosixFile() {
    if (m_fd >= 0) ::close(m_fd);
}

PosixFile::PosixFile(PosixFile&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_name(std::move(other.m_name)) {}

PosixFile& PosixFile::operator=(PosixFile&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
        m_name = std::move(other.m_name);
    }
    return *this;
}

void PosixFile::Open(const std::string& path, int flags, const std::string& name) {
    if (m_fd >= 0) ::close(std::exchange(m_fd, -1));
    m_name = name.empty() ? path : name;
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    if (fd < 0) Fail(errno);
    m_fd = fd;
}

void PosixFile::Write(std::uint64_t position, std::span<const iovec> pieces) {
    std::array<iovec, 4> left{};
    assert(pieces.size() <= left.size());
    const std::size_t count = std::min(pieces.size(), left.size());
    std::copy_n(pieces.begin(), count, left.begin());
    std::size_t first = 0;
    while (first < count) {
        if (left[first].iov_len == 0) {
            ++first;
            continue;
        }
        const ssize_t done = ::pwritev(m_fd, &left[first], int(count - first), off_t(position));
        if (done < 0 && errno == EINTR) continue;
        if (done < 0) Fail(errno);
        if (done == 0) Fail(ENOSPC);  // no progress and no reason given: the device is full
        position += std::uint64_t(done);
        for (auto rest = std::size_t(done); rest > 0; ++first) {
            const std::size_t take = std::min(rest, left[first].iov_len);
            left[first].iov_base = static_cast<char*>(left[first].iov_base) + take;
            left[first].iov_len -= take;
            rest -= take;
            if (left[first].iov_len > 0) break;
        }
    }
}

void PosixFile::Write(std::uint64_t position, std::span<const std::uint8_t> data) {
    const iovec piece{const_cast<std::uint8_t*>(data.data()), data.size()};
    Write(position, std::span(&piece, 1));
}

void PosixFile::Truncate(std::uint64_t size) {
    while (::ftruncate(m_fd, off_t(size)) != 0) {
        if (errno != EINTR) Fail(errno);
    }
}

void PosixFile::Sync() {
    if (::fdatasync(m_fd) != 0) Fail(errno);
}

void PosixFile::Close() {
    if (m_fd < 0) return;
    // The descriptor is gone after close(2) whatever it reports, EINTR included.
    if (::close(std::exchange(m_fd, -1)) != 0 && errno != EINTR) Fail(errno);
}

void PosixFile::Fail(int error) const { throw CFileException(m_name, error); }

}  // namespace files
