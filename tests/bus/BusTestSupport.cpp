// Shared pieces of the bus-layer tests.
#include "tests/bus/BusTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "platform/MessageQueue.h"
#include "tests/support/SharedBlockSweep.h"

extern char** environ;

namespace bustest {

PrivateBus::PrivateBus(const std::string& name) : m_dir("kxbus-" + name) {
    static std::atomic<int> counter{0};
    m_namespace = "bus" + std::to_string(::getpid()) + "-" + std::to_string(++counter) + name;
    ::setenv("KESTRIX_BUS_DIR", m_dir.Path().c_str(), 1);
    ::setenv("KESTRIX_SHM_NAMESPACE", m_namespace.c_str(), 1);
}

PrivateBus::~PrivateBus() {
    testsupport::SweepSharedBlocks();
    ::unsetenv("KESTRIX_BUS_DIR");
    ::unsetenv("KESTRIX_SHM_NAMESPACE");
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto& queue = platform::MessageQueue::ForCurrentThread();
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        queue.Pump(std::chrono::milliseconds(20));
    }
    return true;
}

void PumpFor(std::chrono::milliseconds duration) {
    PumpUntil([] { return false; }, duration);
}

MessageLog::MessageLog()
    : m_endpoint(platform::MessageEndpoint::Create([this](const platform::Message& message) {
          std::lock_guard lock(m_mutex);
          m_messages.push_back(message.msg);
          return std::int64_t{0};
      })) {}

std::size_t MessageLog::Count(std::uint32_t msg) const {
    std::lock_guard lock(m_mutex);
    return std::size_t(std::count(m_messages.begin(), m_messages.end(), msg));
}

PeerProcess::PeerProcess() {
    int toChild[2];
    int fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
    char* argv[] = {const_cast<char*>(KESTRIX_BUS_PEER_PATH), nullptr};
    if (::posix_spawn(&m_pid, KESTRIX_BUS_PEER_PATH, &actions, nullptr, argv, environ) != 0) {
        m_pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    m_in = toChild[1];
    m_out = fromChild[0];
}

PeerProcess::~PeerProcess() {
    if (m_pid > 0) {
        Kill();
        Wait();
    }
    if (m_in >= 0) ::close(m_in);
    if (m_out >= 0) ::close(m_out);
}

void PeerProcess::ReadAvailable() {
    pollfd entry{m_out, POLLIN, 0};
    while (::poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN)) {
        char buffer[512];
        const ssize_t n = ::read(m_out, buffer, sizeof buffer);
        if (n <= 0) return;
        m_buffer.append(buffer, std::size_t(n));
    }
    for (std::size_t end; (end = m_buffer.find('\n')) != std::string::npos;) {
        m_lines.push_back(m_buffer.substr(0, end));
        m_buffer.erase(0, end + 1);
    }
}

std::string PeerProcess::WaitForLine(const std::string& prefix, std::chrono::milliseconds timeout) {
    std::string found;
    PumpUntil(
        [&] {
            ReadAvailable();
            for (const std::string& line : m_lines) {
                if (line.rfind(prefix, 0) == 0) {
                    found = line;
                    return true;
                }
            }
            return false;
        },
        timeout);
    return found;
}

bool PeerProcess::WaitForCount(const std::string& line, std::size_t count,
                               std::chrono::milliseconds timeout) {
    return PumpUntil(
        [&] {
            ReadAvailable();
            return std::size_t(std::count(m_lines.begin(), m_lines.end(), line)) >= count;
        },
        timeout);
}

void PeerProcess::Command(const std::string& command) {
    const std::string line = command + "\n";
    [[maybe_unused]] const ssize_t written = ::write(m_in, line.data(), line.size());
}

void PeerProcess::Kill() {
    if (m_pid > 0) ::kill(m_pid, SIGKILL);
}

int PeerProcess::Wait() {
    if (m_pid <= 0) return -1;
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    return status;
}

}  // namespace bustest
