// A private kestrix-busd for one test: started in a fresh device directory with KESTRIX_BUS_DIR
// pointing at it (and, unless asked otherwise, a fresh KESTRIX_SHM_NAMESPACE), driven through
// kestrix-busctl, stopped with SIGTERM and reaped when the object goes. The previous values of
// both variables come back then.
//
// With KESTRIX_TEST_BRIDGE=fw the same suites run against kestrix-fwd over the fake kernel
// instead: the cameras are the fake's, and Busctl's status, bus-reset, remove and add-camera
// become the fake's commands (anything else fails, exit code 2).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace testsupport {

class SimulatedBus {
public:
    struct Options {
        unsigned cameras = 1;
        double rateScale = 1.0;
        std::vector<std::string> extraArguments;  // more kestrix-busd options
        bool privateShmNamespace = true;
    };

    struct Result {
        int exitCode = -1;
        std::string output;  // stdout
        std::string errors;  // stderr
        bool Ok() const { return exitCode == 0; }
    };

    SimulatedBus();
    explicit SimulatedBus(unsigned cameras, double rateScale = 1.0);
    explicit SimulatedBus(const Options& options);
    ~SimulatedBus();
    SimulatedBus(const SimulatedBus&) = delete;
    SimulatedBus& operator=(const SimulatedBus&) = delete;

    // True once the daemon serves its units (a failed start is also reported to GoogleTest).
    bool IsRunning() const { return m_pid > 0; }
    const std::filesystem::path& Dir() const { return m_dir.Path(); }
    pid_t Pid() const { return m_pid; }

    // The unit sockets present now, ascending (the device paths a program lists).
    std::vector<std::string> UnitPaths() const;
    // Waits until exactly count unit sockets are present.
    bool WaitForUnits(std::size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // Waits until exactly count bus-reset waits pend at the daemon: a program's watcher arms its
    // wait on a thread of its own, and a reset before that goes unheard.
    bool WaitForResetWaits(std::size_t count,
                           std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // Runs kestrix-busctl with these arguments against this bus.
    Result Busctl(const std::vector<std::string>& arguments) const;

    // Stops the daemon (SIGTERM unless told otherwise) and reaps it; its exit code, or -1 when
    // it did not exit normally.
    int Stop(int signal = SIGTERM);
    // Kills the daemon without letting it clean up, as a crash would.
    void Kill();
    // Starts a daemon again in the same directory, with the same options.
    bool Restart();

    // Runs a program and collects its output and exit code.
    static Result RunProgram(const std::vector<std::string>& argv);
    // Whether the suites run against kestrix-fwd over the fake kernel.
    static bool OverFakeKernel();

private:
    bool Launch();
    bool WaitUntilServing(int readyFd);
    // The daemon's command line, and the environment it runs in.
    std::vector<std::string> Arguments() const;
    std::vector<std::string> Environment() const;
    Result FakeKernelCommand(const std::vector<std::string>& arguments) const;
    int Reap();

    Options m_options;
    TempDir m_dir{"kestrix-bus"};
    TempDir m_kernelDir{"kestrix-fwdev"};  // the fake kernel's fw* files and control socket
    mutable std::vector<unsigned> m_plugged;  // the fake's cameras in device order
    mutable std::vector<unsigned> m_unplugged;
    pid_t m_pid = -1;
    std::optional<std::string> m_savedBusDir;
    std::optional<std::string> m_savedShmNamespace;
    bool m_setShmNamespace = false;
};

}  // namespace testsupport
