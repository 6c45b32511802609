// Whole-frame reads and writes on a non-blocking unit socket, waiting in poll() when it is busy.
#include "platform/DeviceSocket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/ErrorCodes.h"
#include "platform/Log.h"
#include "platform/UnixSocket.h"

namespace platform {

namespace {

// A socket address holds about 107 bytes; a longer path is reached through its folder's
// descriptor, so every listed device path can be opened.
int ConnectLongPath(const std::string& path, UniqueFd& connection) {
    const std::filesystem::path full(path);
    UniqueFd folder(::open(full.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder) return errno;
    const std::string viaFolder =
        "/proc/self/fd/" + std::to_string(folder.Get()) + "/" + full.filename().string();
    return ConnectUnix(viaFolder, connection);
}

std::uint32_t ErrorFromErrno(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case ECONNREFUSED:
        case ENAMETOOLONG:
            return kErrorFileNotFound;
        case EAGAIN:  // the driver's backlog is full
            return kErrorBusy;
        case EMFILE:
        case ENFILE:
        case ENOMEM:
        case ENOBUFS:
            return kErrorNotEnoughMemory;
        default:
            return kErrorGenFailure;
    }
}

// Payload bytes the first read of an answer takes along with its header.
constexpr std::size_t kFirstAnswerRead = 4096;

bool WaitFor(int fd, short events, Deadline deadline = kNoDeadline) {
    pollfd entry{fd, events, 0};
    return PollUntil({&entry, 1}, deadline) == 1 && (entry.revents & POLLNVAL) == 0;
}

}  // namespace

std::uint32_t DeviceSocket::Connect(const std::string& path) {
    if (path.empty()) return kErrorFileNotFound;
    UniqueFd connection;
    int error = ConnectUnix(path, connection);
    if (error == ENAMETOOLONG) error = ConnectLongPath(path, connection);
    if (error != 0) {
        KX_LOG(Platform, Warn) << "device " << path << " cannot be opened: " << ErrnoText(error);
        return ErrorFromErrno(error);
    }
    m_fd = std::move(connection);
    return kErrorSuccess;
}

std::optional<FrameHeader> DeviceSocket::ReadHeader(Deadline deadline) {
    FrameHeaderBytes raw;
    if (!ReadExact(raw, deadline)) return std::nullopt;
    return DecodeFrameHeader(raw);
}

bool DeviceSocket::ReadPayload(const FrameHeader& header, std::vector<std::uint8_t>& payload,
                               Deadline deadline) {
    payload.resize(header.PayloadBytes());
    return ReadExact(payload, deadline);
}

std::optional<FrameHeader> DeviceSocket::ReadFrame(std::vector<std::uint8_t>& payload) {
    std::optional<FrameHeader> header = ReadHeader();
    if (header && !ReadPayload(*header, payload)) header.reset();
    return header;
}

std::optional<FrameHeader> DeviceSocket::ReadAnswer(std::vector<std::uint8_t>& payload,
                                                    std::size_t maxPayload, Deadline deadline) {
    FrameHeaderBytes raw;
    // Room for a small answer in the first read; a large one's rest follows, so the room is
    // not zeroed for nothing.
    payload.resize(std::min(maxPayload, kFirstAnswerRead));
    iovec parts[2] = {{raw.data(), raw.size()}, {payload.data(), payload.size()}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    std::size_t got = 0;
    // Waiting in the read, not in poll() before it, spares a system call per answer. A read
    // that timed out or was interrupted leaves the wait to ReadExact.
    if (WaitInReadsUntil(deadline)) {
        const ssize_t n = ::recvmsg(m_fd.Get(), &message, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return std::nullopt;
        }
        got = n > 0 ? std::size_t(n) : 0;
    }
    if (got < raw.size() && !ReadExact(std::span(raw).subspan(got), deadline)) return std::nullopt;
    const std::optional<FrameHeader> header = DecodeFrameHeader(raw);
    if (!header || header->PayloadBytes() > maxPayload) return std::nullopt;
    const std::size_t have = got > raw.size() ? got - raw.size() : 0;
    if (have > header->PayloadBytes()) return std::nullopt;
    payload.resize(header->PayloadBytes());
    if (!ReadExact(std::span(payload).subspan(have), deadline)) return std::nullopt;
    return header;
}

bool DeviceSocket::WaitInReadsUntil(Deadline deadline) {
    using namespace std::chrono;
    // Rounded up, so that the read gives up at the deadline, not before it; a steady timeout
    // is set once.
    const milliseconds timeout = deadline == kNoDeadline
                                     ? milliseconds::zero()
                                     : ceil<milliseconds>(deadline - steady_clock::now());
    if (deadline != kNoDeadline && timeout <= milliseconds::zero()) return false;
    if (!m_blockingReads) {
        const int flags = ::fcntl(m_fd.Get(), F_GETFL);
        if (flags < 0 || ::fcntl(m_fd.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return false;
        m_blockingReads = true;
    }
    if (timeout != m_readTimeout) {
        const timeval limit{static_cast<time_t>(timeout.count() / 1000),
                            static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
        if (::setsockopt(m_fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
            return false;
        }
        m_readTimeout = timeout;
    }
    return true;
}

bool DeviceSocket::WriteFrame(const FrameHeader& header, std::span<const std::uint8_t> payload,
                              int passFd) {
    const FrameHeaderBytes raw = EncodeFrameHeader(header);
    return WriteBytes(raw, payload, passFd);
}

bool DeviceSocket::WriteBytes(std::span<const std::uint8_t> head,
                              std::span<const std::uint8_t> tail, int passFd) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    while (!head.empty() || !tail.empty()) {
        iovec parts[2] = {{const_cast<std::uint8_t*>(head.data()), head.size()},
                          {const_cast<std::uint8_t*>(tail.data()), tail.size()}};
        msghdr message{};
        message.msg_iov = head.empty() ? &parts[1] : parts;
        message.msg_iovlen = head.empty() ? 1 : 2;
        if (passFd >= 0) {
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            cmsghdr* rights = CMSG_FIRSTHDR(&message);
            rights->cmsg_level = SOL_SOCKET;
            rights->cmsg_type = SCM_RIGHTS;
            rights->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(rights), &passFd, sizeof(int));
        }
        const ssize_t sent = ::sendmsg(m_fd.Get(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN || !WaitFor(m_fd.Get(), POLLOUT)) return false;
            continue;
        }
        passFd = -1;  // it went with the bytes just sent
        auto done = static_cast<std::size_t>(sent);
        const std::size_t fromHead = std::min(done, head.size());
        head = head.subspan(fromHead);
        tail = tail.subspan(done - fromHead);
    }
    return true;
}

bool DeviceSocket::ReadExact(std::span<std::uint8_t> bytes, Deadline deadline) {
    std::size_t filled = 0;
    for (;;) {
        switch (ReadMore(m_fd.Get(), bytes, filled)) {
            case ReadProgress::Complete:
                return true;
            case ReadProgress::NeedMore:
                if (!WaitFor(m_fd.Get(), POLLIN, deadline)) return false;
                break;
            case ReadProgress::Closed:
            case ReadProgress::Failed:
                return false;
        }
    }
}

void DeviceSocket::Shutdown() {
    if (m_fd) ::shutdown(m_fd.Get(), SHUT_RDWR);
}

}  // namespace platform
