// Non-blocking Unix stream sockets carrying small frames.
#include "platform/UnixSocket.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace platform {

namespace {

bool MakeAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

int OpenStreamSocket(UniqueFd& socketFd) {
    socketFd.Reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    return socketFd ? 0 : errno;
}

}  // namespace

int ListenUnix(const std::string& path, UniqueFd& listener) {
    sockaddr_un address;
    if (!MakeAddress(path, address)) return ENAMETOOLONG;
    UniqueFd fd;
    if (const int error = OpenStreamSocket(fd)) return error;
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        return errno;
    }
    if (::listen(fd.Get(), SOMAXCONN) != 0) {
        const int error = errno;
        ::unlink(path.c_str());
        return error;
    }
    listener = std::move(fd);
    return 0;
}

int ConnectUnix(const std::string& path, UniqueFd& connection) {
    sockaddr_un address;
    if (!MakeAddress(path, address)) return ENAMETOOLONG;
    UniqueFd fd;
    if (const int error = OpenStreamSocket(fd)) return error;
    int result;
    do {
        result = ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    } while (result != 0 && errno == EINTR);
    if (result != 0) return errno;
    connection = std::move(fd);
    return 0;
}

int AcceptUnix(int listener, UniqueFd& connection) {
    int fd;
    do {
        fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno == EWOULDBLOCK ? EAGAIN : errno;
    connection.Reset(fd);
    return 0;
}

bool WriteAll(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

ReadProgress ReadMore(int fd, std::span<std::uint8_t> buffer, std::size_t& filled) {
    while (filled < buffer.size()) {
        const ssize_t n = ::recv(fd, buffer.data() + filled, buffer.size() - filled, MSG_DONTWAIT);
        if (n > 0) {
            filled += static_cast<std::size_t>(n);
        } else if (n == 0) {
            return ReadProgress::Closed;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return ReadProgress::NeedMore;
        } else if (errno != EINTR) {
            return ReadProgress::Failed;
        }
    }
    return ReadProgress::Complete;
}

int PollUntil(std::span<pollfd> fds, Deadline deadline) {
    using namespace std::chrono;
    for (;;) {
        int timeoutMs = -1;
        if (deadline != kNoDeadline) {
            const auto left = ceil<milliseconds>(deadline - steady_clock::now()).count();
            timeoutMs = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
        }
        const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
        if (ready >= 0 || errno != EINTR) return ready;
    }
}

Deadline DeadlineAfter(std::chrono::milliseconds timeout) {
    const auto now = std::chrono::steady_clock::now();
    if (timeout > std::chrono::duration_cast<std::chrono::milliseconds>(kNoDeadline - now)) {
        return kNoDeadline;
    }
    return now + std::max(timeout, std::chrono::milliseconds::zero());
}

}  // namespace platform
