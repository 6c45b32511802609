// Shared pieces of the bus-layer tests: a private device directory and shared-memory namespace
// per test, pumping the test thread's message queue, and a client window that logs what it hears.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/MessageEndpoint.h"
#include "tests/support/TempDir.h"

namespace bustest {

// Points KESTRIX_BUS_DIR at a fresh folder and KESTRIX_SHM_NAMESPACE at a name of its own for as
// long as it lives.
class PrivateBus {
public:
    explicit PrivateBus(const std::string& name);
    ~PrivateBus();
    const std::filesystem::path& Dir() const { return m_dir.Path(); }

private:
    testsupport::TempDir m_dir;
    std::string m_namespace;
};

// Dispatches the calling thread's queue until done() holds; false when time ran out.
bool PumpUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));
// Dispatches for a while, to let messages that should not come show up.
void PumpFor(std::chrono::milliseconds duration);

// A client window on the calling thread that records every message it receives.
class MessageLog {
public:
    MessageLog();
    platform::EndpointHandle Handle() const { return m_endpoint->Handle(); }
    std::size_t Count(std::uint32_t msg) const;

private:
    mutable std::mutex m_mutex;  // guards m_messages
    std::vector<std::uint32_t> m_messages;
    std::unique_ptr<platform::MessageEndpoint> m_endpoint;
};

// A child process running kestrix-bus-peer in the current environment, talked to by lines.
class PeerProcess {
public:
    PeerProcess();
    ~PeerProcess();  // kills what still runs
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // Waits for a line starting with prefix, dispatching the calling thread's queue meanwhile
    // (the peer may send to windows of this thread); empty when none came.
    std::string WaitForLine(const std::string& prefix,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Dispatches the calling thread's queue until count lines equal to line arrived.
    bool WaitForCount(const std::string& line, std::size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void Command(const std::string& command);
    void Kill();
    // Waits for the process to end; its exit status.
    int Wait();

private:
    void ReadAvailable();

    int m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    std::string m_buffer;
    std::vector<std::string> m_lines;
};

}  // namespace bustest
