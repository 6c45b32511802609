// Framing of one unit-socket connection.
#include "driver/UnitConnection.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace driver {
namespace {

constexpr std::size_t kFirstChunk = 4 * 1024;
constexpr std::size_t kReadChunk = 256 * 1024;
constexpr std::size_t kMaxIovecs = 64;

}  // namespace

UnitConnection::UnitConnection(platform::UniqueFd socket, ClientId client)
    : m_socket(std::move(socket)), m_client(client) {}

bool UnitConnection::Receive(const OnFrame& onFrame) {
    if (Backlogged()) return true;
    // Grown by what arrives, never by what a header announces, and from a page on: a new
    // connection's requests are small, and a larger room would be zeroed for nothing.
    const std::size_t step = std::clamp(m_in.size(), kFirstChunk, kReadChunk);
    if (m_in.size() - m_inLength < step / 4) m_in.resize(m_inLength + step);
    iovec room{m_in.data() + m_inLength, m_in.size() - m_inLength};
    alignas(cmsghdr) char control[CMSG_SPACE(kMaxQueuedFds * sizeof(int))];
    msghdr message{};
    message.msg_iov = &room;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(m_socket.Get(), &message, MSG_CMSG_CLOEXEC);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (!TakeDescriptors(message) || n == 0) return false;
    m_inLength += std::size_t(n);
    m_bReceived = true;
    return Parse(onFrame);
}

bool UnitConnection::TakeDescriptors(const msghdr& message) {
    for (const cmsghdr* part = CMSG_FIRSTHDR(&message); part != nullptr;
         part = CMSG_NXTHDR(const_cast<msghdr*>(&message), const_cast<cmsghdr*>(part))) {
        if (part->cmsg_level != SOL_SOCKET || part->cmsg_type != SCM_RIGHTS) continue;
        const std::size_t count = (part->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int fd = -1;
            std::memcpy(&fd, CMSG_DATA(part) + i * sizeof(int), sizeof fd);
            m_fds.emplace_back(fd);  // owned from here on, so closed whatever happens next
        }
    }
    // Descriptors the kernel dropped would pair the rest with the wrong requests.
    return (message.msg_flags & MSG_CTRUNC) == 0 && m_fds.size() <= kMaxQueuedFds;
}

bool UnitConnection::Parse(const OnFrame& onFrame) {
    std::size_t at = 0;
    while (m_inLength - at >= platform::kFrameHeaderBytes && !Backlogged()) {
        const auto header =
            platform::DecodeFrameHeader(std::span<const std::uint8_t, platform::kFrameHeaderBytes>(
                m_in.data() + at, platform::kFrameHeaderBytes));
        if (!header || header->kind == platform::FrameKind::Completion) return false;
        const std::size_t frameBytes = platform::kFrameHeaderBytes + header->PayloadBytes();
        if (m_inLength - at < frameBytes) break;
        platform::UniqueFd passed;
        if (header->kind == platform::FrameKind::SharedRequest && !m_fds.empty()) {
            passed = std::move(m_fds.front());
            m_fds.pop_front();
        }
        onFrame(*header,
                std::span<const std::uint8_t>(m_in.data() + at + platform::kFrameHeaderBytes,
                                              header->PayloadBytes()),
                passed.Get());
        at += frameBytes;
    }
    std::memmove(m_in.data(), m_in.data() + at, m_inLength - at);
    m_inLength -= at;
    return true;
}

void UnitConnection::TrimIfIdle() {
    // A busy client keeps its room: growing it again for every large request costs frames.
    if (std::exchange(m_bReceived, false) || m_inLength != 0) return;
    std::vector<std::uint8_t>().swap(m_in);
}

void UnitConnection::Queue(Completion&& completion) {
    const auto header = platform::EncodeFrameHeader(
        platform::MakeCompletion(completion.id, completion.status, completion.Length()));
    m_outBytes += platform::kFrameHeaderBytes + completion.Length();
    m_out.push_back({header, std::move(completion), 0});
    if (Backlogged() && !m_backloggedSince) m_backloggedSince = Clock::now();
}

bool UnitConnection::Flush() {
    while (!m_out.empty()) {
        iovec vectors[kMaxIovecs];
        std::size_t count = 0;
        std::size_t requested = 0;
        for (const Outgoing& out : m_out) {
            if (count + 3 > kMaxIovecs) break;
            // The frame is header, head and body back to back; skip what already went.
            const std::span<const std::uint8_t> parts[3] = {
                out.header, out.completion.head,
                out.completion.body ? std::span<const std::uint8_t>(out.completion.body->data(),
                                                                    out.completion.bodyLength)
                                    : std::span<const std::uint8_t>()};
            std::size_t skip = out.sent;
            for (const auto& part : parts) {
                if (skip >= part.size()) {
                    skip -= part.size();
                    continue;
                }
                vectors[count++] = {const_cast<std::uint8_t*>(part.data() + skip),
                                    part.size() - skip};
                requested += part.size() - skip;
                skip = 0;
            }
        }
        msghdr message{};
        message.msg_iov = vectors;
        message.msg_iovlen = count;
        const ssize_t n = ::sendmsg(m_socket.Get(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        std::size_t written = std::size_t(n);
        while (written > 0) {
            Outgoing& front = m_out.front();
            const std::size_t total = platform::kFrameHeaderBytes + front.completion.Length();
            const std::size_t step = std::min(written, total - front.sent);
            front.sent += step;
            written -= step;
            m_outBytes -= step;
            if (front.sent == total) m_out.pop_front();
        }
        if (!Backlogged()) m_backloggedSince.reset();
        // A short write means the socket is full; the rest goes when it drains.
        if (std::size_t(n) < requested) return true;
    }
    return true;
}

}  // namespace driver
