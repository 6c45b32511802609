// A kestrixview process for the suites that run the real program: killed and reaped when the
// object goes.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace viewertest {

class ViewerProcess {
public:
    explicit ViewerProcess(std::vector<std::string> arguments = {}) {
        arguments.insert(arguments.begin(), KESTRIXVIEW_PATH);
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&m_pid, KESTRIXVIEW_PATH, nullptr, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
    }
    ~ViewerProcess() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            Wait(std::chrono::seconds(10));
        }
    }
    ViewerProcess(const ViewerProcess&) = delete;
    ViewerProcess& operator=(const ViewerProcess&) = delete;

    // The exit status once the process ended within timeout; -1 while it runs, -2 after a signal.
    int Wait(std::chrono::milliseconds timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        do {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } while (std::chrono::steady_clock::now() < end);
        return -1;
    }
    void Signal(int signal) { ::kill(m_pid, signal); }
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
};

}  // namespace viewertest
