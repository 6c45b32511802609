// Finding, starting and stopping the private bus daemon.
#include "common/PrivateBus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/DeviceDirectory.h"
#include "platform/UniqueFd.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto kStartTimeout = std::chrono::seconds(20);
constexpr auto kStopTimeout = std::chrono::seconds(10);
constexpr auto kPollStep = std::chrono::milliseconds(10);
constexpr const char* kFolderPrefix = "kestrix-capture-";
constexpr const char* kOwnerLock = ".owner.lock";
// A directory without its owner's lock yet may be one that is being made right now.
constexpr auto kUnclaimedGrace = std::chrono::minutes(1);

std::string NamespaceOf(const fs::path& dir) {
    return "capture-" + dir.filename().string().substr(std::strlen(kFolderPrefix));
}

// Unlinks the shared-memory objects of a namespace: "kestrix-<uid>-<namespace>-..." and the
// guards beside them.
void UnlinkSharedMemory(const std::string& space) {
    const std::string uid = std::to_string(::geteuid());
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/dev/shm", error)) {
        const std::string name = entry.path().filename().string();
        for (const char* kind : {"kestrix-", "kestrix-guard-"}) {
            if (name.rfind(kind + uid + "-" + space + "-", 0) == 0) {
                ::shm_unlink(("/" + name).c_str());
            }
        }
    }
}

// Whether the directory's owner is gone: its lock can be taken, or it never took one and the
// directory is old.
bool Abandoned(const fs::path& dir) {
    const platform::UniqueFd lock(
        ::open((dir / kOwnerLock).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    if (!lock) {
        std::error_code error;
        const auto written = fs::last_write_time(dir, error);
        return !error && fs::file_time_type::clock::now() - written > kUnclaimedGrace;
    }
    return ::flock(lock.Get(), LOCK_EX | LOCK_NB) == 0;
}

std::string Describe(PrivateBus::Daemon daemon) {
    return daemon == PrivateBus::Daemon::Simulated ? "the simulated bus" : "the FireWire bridge";
}

// The name of pid's program when it runs as this user; empty otherwise.
std::string ProgramOfOurs(pid_t pid) {
    struct stat owner {};
    const std::string proc = "/proc/" + std::to_string(pid);
    if (::stat(proc.c_str(), &owner) != 0 || owner.st_uid != ::geteuid()) return {};
    std::ifstream comm(proc + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// The kestrix-busd that listens on dir's control socket; -1 when there is none. The socket's
// credentials name it: a pid file could be stale or forged.
pid_t ControlSocketDaemon(const fs::path& dir) {
    const std::string path = (dir / ".control" / "busctl.sock").string();
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) return -1;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const platform::UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ucred peer{};
    socklen_t length = sizeof peer;
    if (!socket ||
        ::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockopt(socket.Get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
        peer.pid <= 0) {
        return -1;
    }
    return ProgramOfOurs(peer.pid) == "kestrix-busd" ? peer.pid : -1;
}

// The kestrix-fwd that holds dir's lock, by the kernel's table of locks: the bridge has no
// control socket.
pid_t LockHoldingBridge(const fs::path& dir) {
    struct stat lock {};
    if (::stat((dir / ".busd.lock").c_str(), &lock) != 0) return -1;
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 00:1f:5678 0 EOF"; waiters ("1: -> FLOCK") never match.
        char kind[16] = {}, file[64] = {};
        int pid = -1;
        if (std::sscanf(line.c_str(), "%*s %15s %*s %*s %d %63s", kind, &pid, file) != 3 ||
            std::strcmp(kind, "FLOCK") != 0) {
            continue;
        }
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(file, "%x:%x:%llu", &major, &minor, &inode) == 3 &&
            inode == lock.st_ino && makedev(major, minor) == lock.st_dev &&
            ProgramOfOurs(pid) == "kestrix-fwd") {
            return pid;
        }
    }
    return -1;
}

// The daemon that serves dir, when it is a kestrix-busd or kestrix-fwd of this user; -1
// otherwise.
pid_t ServingDaemon(const fs::path& dir) {
    const pid_t busd = ControlSocketDaemon(dir);
    return busd > 0 ? busd : LockHoldingBridge(dir);
}

// Ends a daemon whose owner is gone (SIGTERM, then SIGKILL); true once it let dir go.
bool EndOrphan(const fs::path& dir) {
    const pid_t pid = ServingDaemon(dir);
    if (pid < 0) return false;
    for (const int signal : {SIGTERM, SIGKILL}) {
        ::kill(pid, signal);
        const auto deadline = Clock::now() + kStopTimeout;
        while (PrivateBus::IsServed(dir) && Clock::now() < deadline) {
            std::this_thread::sleep_for(kPollStep);
        }
        if (!PrivateBus::IsServed(dir)) return true;
    }
    return false;
}

// Reaps pid within timeout; false when it still runs.
bool Reap(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const pid_t done = ::waitpid(pid, nullptr, WNOHANG);
        if (done == pid || done < 0) return true;
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(kPollStep);
    }
}

}  // namespace

PrivateBus::~PrivateBus() { Stop(); }

bool PrivateBus::IsServed(const fs::path& dir) {
    // The daemon holds an exclusive lock on this file for as long as it serves.
    const platform::UniqueFd lock(::open((dir / ".busd.lock").c_str(), O_RDONLY | O_CLOEXEC));
    if (!lock) return false;
    if (::flock(lock.Get(), LOCK_SH | LOCK_NB) == 0) return false;
    return errno == EWOULDBLOCK;
}

std::string PrivateBus::DaemonPath(Daemon daemon) {
    const bool simulated = daemon == Daemon::Simulated;
    const char* name = simulated ? "kestrix-busd" : "kestrix-fwd";
    std::error_code ignored;
    const fs::path self = fs::read_symlink("/proc/self/exe", ignored);
    const fs::path beside = self.parent_path() / name;
    if (::access(beside.c_str(), X_OK) == 0) return beside;
#ifdef KESTRIX_BUILD_TREE
    // An installed copy must never reach back into the tree it was built in.
    const fs::path tree = fs::weakly_canonical(KESTRIX_BUILD_TREE, ignored);
    const bool inTree =
        std::mismatch(tree.begin(), tree.end(), self.begin(), self.end()).first == tree.end();
    const char* built = simulated ? KESTRIX_BUILD_TREE_BUSD : KESTRIX_BUILD_TREE_FWD;
    if (inTree && ::access(built, X_OK) == 0) return built;
#endif
    return name;
}

bool PrivateBus::HasFireWire() {
    const char* set = std::getenv("KESTRIX_FW_DEVDIR");
    const fs::path dir = set != nullptr && *set != '\0' ? set : "/dev";
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 2 && name.starts_with("fw") &&
            name.find_first_not_of("0123456789", 2) == std::string::npos) {
            return true;
        }
    }
    return false;
}

fs::path PrivateBus::BaseFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime != '\0' && ::access(runtime, W_OK | X_OK) == 0) {
        return runtime;
    }
    std::error_code ignored;
    return fs::temp_directory_path(ignored);
}

int PrivateBus::SweepLeftovers(const fs::path& base) {
    int removed = 0;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(base, error)) {
        const fs::path dir = entry.path();
        if (dir.filename().string().rfind(kFolderPrefix, 0) != 0 || entry.is_symlink(error) ||
            !entry.is_directory(error) || !Abandoned(dir)) {
            continue;
        }
        // A daemon whose owner died before it could pass on its death.
        if (IsServed(dir) && !EndOrphan(dir)) continue;
        UnlinkSharedMemory(NamespaceOf(dir));
        fs::remove_all(dir, error);
        ++removed;
    }
    return removed;
}

bool PrivateBus::MakeDirectory(std::string& error) {
    const fs::path base = BaseFolder();
    SweepLeftovers(base);
    std::string folder = (base / (std::string(kFolderPrefix) + "XXXXXX")).string();
    if (::mkdtemp(folder.data()) == nullptr) {
        error = std::string("cannot make a folder for the private bus: ") + std::strerror(errno);
        return false;
    }
    m_dir = folder;
    // Held for this object's life and not inherited by the daemon: it dies with this process.
    m_ownerLock.Reset(
        ::open((m_dir / kOwnerLock).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!m_ownerLock || ::flock(m_ownerLock.Get(), LOCK_EX | LOCK_NB) != 0) {
        error = std::string("cannot lock the private bus's folder: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool PrivateBus::StartUnlessRunning(std::string& error, Daemon daemon,
                                    const std::string& program) {
    if (IsServed(platform::DeviceDirectory::Path())) return true;
    m_noController = daemon == Daemon::FireWire && !HasFireWire();
    if (m_noController) {
        error = "no FireWire controller on this machine (no /dev/fw*); --simulate uses a "
                "simulated camera";
        return false;
    }
    m_daemon = program.empty() ? DaemonPath(daemon) : program;
    if (!MakeDirectory(error)) return false;
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        error = "cannot start " + Describe(daemon) + ": " + std::strerror(errno);
        return false;
    }
    platform::UniqueFd readyRead(ready[0]), readyWrite(ready[1]);
    const std::string dir = m_dir.string();
    std::vector<std::string> args{m_daemon, "--dir", dir};
    if (daemon == Daemon::Simulated)
        args.insert(args.end(), {"--cameras", std::to_string(m_nCameras)});
    if (daemon == Daemon::Simulated && !m_model.empty()) args.insert(args.end(), {"--model", m_model});
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    m_pid = ::fork();
    if (m_pid == 0) {
        // The daemon goes when this program dies, however it dies; a parent that died before
        // the request took effect can no longer signal it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(readyWrite.Get(), STDOUT_FILENO);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    readyWrite.Reset();
    if (m_pid < 0) {
        error = "cannot start " + Describe(daemon) + ": " + std::strerror(errno);
        return false;
    }
    if (!WaitUntilServing(readyRead.Get(), daemon, error)) return false;
    ::setenv("KESTRIX_BUS_DIR", dir.c_str(), 1);
    // The bus state shared between processes must not mix with that of another bus.
    ::setenv("KESTRIX_SHM_NAMESPACE", NamespaceOf(m_dir).c_str(), 1);
    return true;
}

bool PrivateBus::WaitUntilServing(int readyFd, Daemon daemon, std::string& error) {
    // It prints one line once it serves; an exit before that closes the pipe.
    pollfd poll{readyFd, POLLIN, 0};
    const auto deadline = Clock::now() + kStartTimeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const int ready = left.count() <= 0 ? 0 : ::poll(&poll, 1, int(left.count()));
        // A signal ends the wait early; the deadline is checked again.
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            error = Describe(daemon) + " (" + m_daemon + ") did not come up in time";
            Stop();
            return false;
        }
        char chunk[256];
        const ssize_t n = ::read(readyFd, chunk, sizeof chunk);
        if (n > 0 && std::memchr(chunk, '\n', std::size_t(n)) != nullptr) return true;
        if (n == 0 || (n < 0 && errno != EINTR)) {
            error = Describe(daemon) + " (" + m_daemon + ") could not be started";
            Stop();
            return false;
        }
    }
}

void PrivateBus::Stop() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        if (!Reap(m_pid, kStopTimeout)) {
            ::kill(m_pid, SIGKILL);
            Reap(m_pid, kStopTimeout);
        }
        m_pid = -1;
    }
    if (!m_dir.empty()) {
        std::error_code ignored;
        fs::remove_all(m_dir, ignored);
        m_dir.clear();
    }
    m_ownerLock.Reset();
}
