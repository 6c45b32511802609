// Claiming endpoint handles in the per-user folder of listening sockets.
#include "platform/EndpointDirectory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/UnixSocket.h"

namespace platform {

namespace {

constexpr int kClaimAttempts = 64;
constexpr auto kLockPatience = std::chrono::seconds(3);
constexpr auto kLockRetryStep = std::chrono::milliseconds(5);

bool IsPrivateFolder(const std::filesystem::path& path) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
    if (info.st_uid != ::geteuid()) return false;
    // Our own folder with looser rights (made under another umask) is tightened.
    return (info.st_mode & 077) == 0 || ::chmod(path.c_str(), 0700) == 0;
}

// Claims are serialised across processes by a lock on the folder itself, which the kernel drops
// when its holder dies, so checking a socket for staleness and taking it over is one step.
UniqueFd LockFolder(const std::filesystem::path& path) {
    UniqueFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder) return {};
    const auto giveUp = std::chrono::steady_clock::now() + kLockPatience;
    while (::flock(folder.Get(), LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() > giveUp) {
            return {};
        }
        std::this_thread::sleep_for(kLockRetryStep);
    }
    return folder;
}

bool IsStale(const std::string& socketPath) {
    UniqueFd probe;
    return ConnectUnix(socketPath, probe) == ECONNREFUSED;
}

bool IsHandleName(const std::string& name) {
    if (name.empty() || name.size() > 10) return false;
    for (const char c : name) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// Sockets left behind by killed processes pile up otherwise; one sweep per process suffices.
void SweepStaleSockets(const std::filesystem::path& folder) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (IsHandleName(name) && entry.is_socket(error) && IsStale(entry.path().string())) {
            ::unlink(entry.path().c_str());
        }
    }
}

enum class ClaimResult { Claimed, Taken, Failed };

ClaimResult TryClaim(EndpointHandle handle, UniqueFd& listener) {
    const std::string path = EndpointDirectory::SocketPath(handle);
    int error = ListenUnix(path, listener);
    if (error == EADDRINUSE && IsStale(path)) {
        ::unlink(path.c_str());
        error = ListenUnix(path, listener);
    }
    if (error == 0) return ClaimResult::Claimed;
    return error == EADDRINUSE ? ClaimResult::Taken : ClaimResult::Failed;
}

}  // namespace

const std::filesystem::path& EndpointDirectory::Path() {
    // Fixed for the life of the process so that unpublishing finds what was published.
    static const std::filesystem::path path = [] {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        if (runtime != nullptr && runtime[0] == '/') {
            return std::filesystem::path(runtime) / "kestrix-endpoints";
        }
        return std::filesystem::path("/tmp") / ("kestrix-endpoints-" + std::to_string(::geteuid()));
    }();
    return path;
}

std::string EndpointDirectory::SocketPath(EndpointHandle handle) {
    return (Path() / std::to_string(handle)).string();
}

std::optional<EndpointDirectory::Claim> EndpointDirectory::ClaimHandle() {
    if (::mkdir(Path().c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
    if (!IsPrivateFolder(Path())) return std::nullopt;
    const UniqueFd lock = LockFolder(Path());
    if (!lock) return std::nullopt;

    static std::once_flag swept;
    std::call_once(swept, SweepStaleSockets, Path());

    for (int attempt = 0; attempt < kClaimAttempts; ++attempt) {
        Claim claim;
        if (::getrandom(&claim.handle, sizeof(claim.handle), 0) != sizeof(claim.handle)) continue;
        if (claim.handle == 0) continue;
        switch (TryClaim(claim.handle, claim.listener)) {
            case ClaimResult::Claimed:
                return claim;
            case ClaimResult::Taken:
                continue;
            case ClaimResult::Failed:
                return std::nullopt;
        }
    }
    return std::nullopt;
}

void EndpointDirectory::Unpublish(EndpointHandle handle) { ::unlink(SocketPath(handle).c_str()); }

}  // namespace platform
