// The bus daemon a program brings when none serves the device directory: the simulated bus
// (a kestrix-busd with one camera, or as many as asked) for --simulate, else the bridge to the machine's FireWire
// cameras (kestrix-fwd). It runs in a private device directory and stops with the object.
//
// The directory is kestrix-capture-XXXXXX in XDG_RUNTIME_DIR (else the temporary folder), its
// shared-memory namespace capture-XXXXXX. The owner holds a lock in it for its lifetime, so a
// later start can tell which ones a killed owner left and removes them with their shared
// memory.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <utility>

#include "platform/UniqueFd.h"

class PrivateBus {
public:
    PrivateBus() = default;
    ~PrivateBus();  // stops the daemon it started and removes its directory
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    enum class Daemon { Simulated, FireWire };

    // Uses the daemon that serves the device directory, or starts one in a fresh directory and
    // points KESTRIX_BUS_DIR and KESTRIX_SHM_NAMESPACE at it for this process. Call before the
    // camera library is opened and before any other thread exists. False with error set when
    // the daemon cannot be found or does not come up, or, for the bridge, when the machine has
    // no FireWire controller. program: the daemon's executable when not DaemonPath(daemon).
    bool StartUnlessRunning(std::string& error, Daemon daemon = Daemon::Simulated,
                            const std::string& program = {});
    bool Started() const { return m_pid > 0; }
    // The simulated camera's model (kestrix-busd --model) of the next start; empty: the
    // daemon's default.
    void SetModel(std::string model) { m_model = std::move(model); }
    // The simulated cameras of the next start (kestrix-busd --cameras), at least 1.
    void SetCameras(int count) { m_nCameras = count > 1 ? count : 1; }
    // The last start was refused because the machine has no FireWire controller.
    bool NoController() const { return m_noController; }

    // Whether a daemon serves dir (it holds the directory's lock).
    static bool IsServed(const std::filesystem::path& dir);
    // The daemon (kestrix-busd or kestrix-fwd) beside this program (an install), else the build
    // tree's when this program runs from the build tree, else the bare name for a PATH search.
    static std::string DaemonPath(Daemon daemon = Daemon::Simulated);
    // Whether the kernel shows a FireWire node (fw* in KESTRIX_FW_DEVDIR, else /dev).
    static bool HasFireWire();
    // Where the private directories go: XDG_RUNTIME_DIR when usable, else the temporary folder.
    static std::filesystem::path BaseFolder();
    // Removes the private directories in base, and the shared memory of their namespaces, whose
    // owner is gone, ending a daemon that still serves one. Returns how many it removed.
    static int SweepLeftovers(const std::filesystem::path& base);

private:
    bool MakeDirectory(std::string& error);
    bool WaitUntilServing(int readyFd, Daemon daemon, std::string& error);
    void Stop();

    std::filesystem::path m_dir;
    std::string m_daemon;
    std::string m_model;
    int m_nCameras = 1;
    platform::UniqueFd m_ownerLock;
    pid_t m_pid = -1;
    bool m_noController = false;
};
