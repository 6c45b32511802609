// Whole-frame reads and writes on a non-blocking unit socket, waiting in poll() when it is busy.
#include "platform/DeviceSocket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>

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
