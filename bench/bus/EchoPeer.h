// The floor of a register access for the benchmarks: a child process that sends back every
// 44-byte record (an asynchronous quadlet read's) it reads over a SOCK_SEQPACKET socket pair.
#pragma once

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace bench {

class EchoPeer {
public:
    static constexpr std::size_t kRecord = 44;

    EchoPeer() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(fds[0]);
            std::uint8_t message[kRecord];
            while (::recv(fds[1], message, sizeof message, 0) == sizeof message &&
                   ::send(fds[1], message, sizeof message, MSG_NOSIGNAL) == sizeof message) {
            }
            ::_exit(0);
        }
        ::close(fds[1]);
        m_fd = fds[0];
    }
    ~EchoPeer() {
        if (m_fd >= 0) ::close(m_fd);
        if (m_pid > 0) ::waitpid(m_pid, nullptr, 0);
    }
    EchoPeer(const EchoPeer&) = delete;
    EchoPeer& operator=(const EchoPeer&) = delete;

    pid_t Pid() const { return m_pid; }

    bool RoundTrip() {
        std::uint8_t message[kRecord] = {};
        return ::send(m_fd, message, sizeof message, MSG_NOSIGNAL) == sizeof message &&
               ::recv(m_fd, message, sizeof message, 0) == sizeof message;
    }

private:
    int m_fd = -1;
    pid_t m_pid = -1;
};

}  // namespace bench
