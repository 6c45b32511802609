// The simulated bus that --simulate brings: a kestrix-busd with one camera in a private device
// directory, started only when no daemon serves the usual one, and stopped with the object.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

class PrivateBus {
public:
    PrivateBus() = default;
    ~PrivateBus();  // stops the daemon it started and removes its directory
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Uses the daemon that serves the device directory, or starts one in a fresh directory and
    // points KESTRIX_BUS_DIR and KESTRIX_SHM_NAMESPACE at it for this process. Call before the
    // camera library is opened and before any other thread exists. False with error set when
    // the daemon cannot be found or does not come up.
    bool StartUnlessRunning(std::string& error);
    bool Started() const { return m_pid > 0; }

    // Whether a daemon serves dir (it holds the directory's lock).
    static bool IsServed(const std::filesystem::path& dir);
    // kestrix-busd beside this program (an install), else the build tree's when this program runs
    // from the build tree, else the bare name for a PATH search.
    static std::string DaemonPath();

private:
    bool WaitUntilServing(int readyFd, std::string& error);
    void Stop();

    std::filesystem::path m_dir;
    pid_t m_pid = -1;
};
