// Finding, starting and stopping the private kestrix-busd of --simulate.
#include "tools/common/PrivateBus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
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

std::string PrivateBus::DaemonPath() {
    std::error_code ignored;
    const fs::path self = fs::read_symlink("/proc/self/exe", ignored);
    const fs::path beside = self.parent_path() / "kestrix-busd";
    if (::access(beside.c_str(), X_OK) == 0) return beside;
#ifdef KESTRIX_BUILD_TREE
    // An installed copy must never reach back into the tree it was built in.
    const fs::path tree = fs::weakly_canonical(KESTRIX_BUILD_TREE, ignored);
    const bool inTree =
        std::mismatch(tree.begin(), tree.end(), self.begin(), self.end()).first == tree.end();
    if (inTree && ::access(KESTRIX_BUILD_TREE_BUSD, X_OK) == 0) return KESTRIX_BUILD_TREE_BUSD;
#endif
    return "kestrix-busd";
}

bool PrivateBus::StartUnlessRunning(std::string& error) {
    if (IsServed(platform::DeviceDirectory::Path())) return true;
    std::error_code ignored;
    std::string folder = (fs::temp_directory_path(ignored) / "kestrix-bus-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) {
        error = std::string("cannot make a folder for the simulated bus: ") + std::strerror(errno);
        return false;
    }
    m_dir = folder;
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        error = std::string("cannot start the simulated bus: ") + std::strerror(errno);
        return false;
    }
    platform::UniqueFd readyRead(ready[0]), readyWrite(ready[1]);
    const std::string dir = m_dir.string();
    std::vector<std::string> args{DaemonPath(), "--dir", dir, "--cameras", "1"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    m_pid = ::fork();
    if (m_pid == 0) {
        // The daemon goes when this program dies, however it dies.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::dup2(readyWrite.Get(), STDOUT_FILENO);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    readyWrite.Reset();
    if (m_pid < 0) {
        error = std::string("cannot start the simulated bus: ") + std::strerror(errno);
        return false;
    }
    if (!WaitUntilServing(readyRead.Get(), error)) return false;
    ::setenv("KESTRIX_BUS_DIR", dir.c_str(), 1);
    // The bus state shared between processes must not mix with that of another bus.
    ::setenv("KESTRIX_SHM_NAMESPACE", ("capture-" + std::to_string(::getpid())).c_str(), 1);
    return true;
}

bool PrivateBus::WaitUntilServing(int readyFd, std::string& error) {
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
            error = "the simulated bus (" + DaemonPath() + ") did not come up in time";
            Stop();
            return false;
        }
        char chunk[256];
        const ssize_t n = ::read(readyFd, chunk, sizeof chunk);
        if (n > 0 && std::memchr(chunk, '\n', std::size_t(n)) != nullptr) return true;
        if (n == 0 || (n < 0 && errno != EINTR)) {
            error = "the simulated bus (" + DaemonPath() + ") could not be started";
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
}
