// The unit sockets' event loop shared by both bus daemons.
#include "driver/UnitServer.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <vector>

namespace driver {
namespace {

enum class Source : std::uint64_t { Stop = 1, Housekeeping, UnitListener, Connection, Watched };

// Both daemons take the same lock, so that only one serves a directory and programs can tell
// that one does.
constexpr const char* kLockName = ".busd.lock";
constexpr const char* kStagingName = ".control";
// A client that lets its answers pile up over the bound and does not read them for this long
// is dropped.
constexpr auto kBacklogGrace = std::chrono::seconds(10);
constexpr auto kHousekeepingPeriod = std::chrono::milliseconds(500);
// Room for a whole large frame in the socket makes a frame one or two writes.
constexpr int kSendBuffer = 4 << 20;

std::uint64_t Key(Source source, std::uint64_t id) { return std::uint64_t(source) << 56 | id; }
Source SourceOf(std::uint64_t key) { return Source(key >> 56); }
std::uint64_t IdOf(std::uint64_t key) { return key & ((std::uint64_t{1} << 56) - 1); }

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

platform::UniqueFd OpenSpare() {
    return platform::UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
}

bool OutOfDescriptors(int error) { return error == EMFILE || error == ENFILE; }

// Resident memory of this process in KiB; 0 when unknown.
std::uint64_t ResidentKib() {
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) return 0;
    unsigned long long size = 0, resident = 0;
    const bool read = std::fscanf(statm, "%llu %llu", &size, &resident) == 2;
    std::fclose(statm);
    return read ? resident * std::uint64_t(::sysconf(_SC_PAGESIZE)) / 1024 : 0;
}

// The daemon that holds a directory's lock writes its name into it.
std::string Holder(int lock) {
    char name[64] = {};
    const ssize_t n = ::pread(lock, name, sizeof name - 1, 0);
    return n > 0 ? std::string(name, std::size_t(n)) : std::string("bus daemon");
}

}  // namespace

platform::UniqueFd ListenAt(const std::filesystem::path& path) {
    const std::string text = path.string();
    sockaddr_un address{};
    if (text.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return {};
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    platform::UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    ::unlink(path.c_str());
    if (!socket ||
        ::bind(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(socket.Get(), SOMAXCONN) != 0) {
        return {};
    }
    return socket;
}

// Made first, so that a Stop that comes while the daemon still starts is not lost.
UnitServer::UnitServer()
    : m_epoll(::epoll_create1(EPOLL_CLOEXEC)),
      m_stop(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      m_housekeeping(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)),
      m_spare(OpenSpare()) {}

UnitServer::~UnitServer() { Unpublish(); }

std::filesystem::path UnitServer::StagingDir() const { return m_dir / kStagingName; }

bool UnitServer::Open(const std::filesystem::path& dir, std::string_view daemon,
                      std::string& error) {
    m_dir = dir;
    if (!m_epoll || !m_stop || !m_housekeeping) {
        error = SystemError("cannot set up the event loop");
        return false;
    }
    Add(m_stop.Get(), Key(Source::Stop, 0), EPOLLIN);
    // The loop wakes for housekeeping by this timer, not by a timeout on every wait: a timed
    // wait arms a kernel timer each time it blocks, which a request's round trip pays for.
    const auto period = std::chrono::duration_cast<std::chrono::nanoseconds>(kHousekeepingPeriod);
    const timespec every{static_cast<time_t>(period.count() / 1'000'000'000),
                         static_cast<long>(period.count() % 1'000'000'000)};
    const itimerspec timer{every, every};
    if (::timerfd_settime(m_housekeeping.Get(), 0, &timer, nullptr) != 0) {
        error = SystemError("cannot set up the event loop");
        return false;
    }
    Add(m_housekeeping.Get(), Key(Source::Housekeeping, 0), EPOLLIN);
    std::error_code failure;
    std::filesystem::path missing = dir.lexically_normal();
    if (!missing.has_filename()) missing = missing.parent_path();  // a trailing slash
    for (; !missing.empty() && missing != missing.root_path() &&
           !std::filesystem::exists(missing, failure);
         missing = missing.parent_path()) {
        m_madeFolders.insert(m_madeFolders.begin(), missing);
    }
    std::filesystem::create_directories(dir, failure);
    struct stat info {};
    if (::stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        error = SystemError("cannot make the device directory " + dir.string());
        return false;
    }
    // Units in a folder others can reach could be impersonated or snooped on.
    if (info.st_uid != ::geteuid() || ::chmod(dir.c_str(), 0700) != 0) {
        error = "the device directory " + dir.string() + " belongs to another user";
        return false;
    }
    m_lock.Reset(::open((dir / kLockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!m_lock) {
        error = SystemError("cannot make the lock file in " + dir.string());
        return false;
    }
    if (::flock(m_lock.Get(), LOCK_EX | LOCK_NB) != 0) {
        error = "another " + Holder(m_lock.Get()) + " already serves " + dir.string();
        m_lock.Reset();
        return false;
    }
    if (::ftruncate(m_lock.Get(), 0) != 0 ||
        ::pwrite(m_lock.Get(), daemon.data(), daemon.size(), 0) != ssize_t(daemon.size())) {
        error = SystemError("cannot write the lock file in " + dir.string());
        return false;
    }
    m_published = true;
    // What a daemon that died left behind.
    for (const auto& entry : std::filesystem::directory_iterator(dir, failure)) {
        if (entry.path().filename().string().starts_with("unit-") && entry.is_socket(failure)) {
            std::filesystem::remove(entry.path(), failure);
        }
    }
    std::filesystem::remove_all(StagingDir(), failure);
    if (::mkdir(StagingDir().c_str(), 0700) != 0) {
        error = SystemError("cannot make " + StagingDir().string());
        return false;
    }
    return true;
}

void UnitServer::Abandon() {
    Unpublish();
    while (!m_madeFolders.empty()) {
        if (::rmdir(m_madeFolders.back().c_str()) != 0) break;
        m_madeFolders.pop_back();
    }
}

bool UnitServer::Publish(UnitId unit, std::string& error) {
    const std::filesystem::path staging = StagingDir() / UnitPath(unit).filename();
    platform::UniqueFd listener = ListenAt(staging);
    if (!listener || ::rename(staging.c_str(), UnitPath(unit).c_str()) != 0) {
        error = SystemError("cannot publish " + UnitPath(unit).string());
        ::unlink(staging.c_str());
        return false;
    }
    if (!m_unitListenersPaused) Add(listener.Get(), Key(Source::UnitListener, unit), EPOLLIN);
    m_unitListeners[unit] = std::move(listener);
    return true;
}

void UnitServer::Withdraw(UnitId unit) {
    if (m_unitListeners.erase(unit) != 0) ::unlink(UnitPath(unit).c_str());
}

std::filesystem::path UnitServer::UnitPath(UnitId unit) const {
    char name[32];
    std::snprintf(name, sizeof name, "unit-%06u", unit);
    return m_dir / name;
}

void UnitServer::Watch(int fd, std::uint32_t events, Handler handler) {
    m_watched[fd] = std::move(handler);
    Add(fd, Key(Source::Watched, std::uint64_t(fd)), events);
}

void UnitServer::Unwatch(int fd) {
    if (m_watched.erase(fd) != 0) ::epoll_ctl(m_epoll.Get(), EPOLL_CTL_DEL, fd, nullptr);
}

void UnitServer::Run(const std::function<void()>& beforeWait) {
    epoll_event events[64];
    for (bool stopping = false; !stopping;) {
        if (beforeWait) beforeWait();
        FlushConnections();
        Housekeep();
        // Answers that held-back requests produced go out without waiting for an event.
        const int timeout = m_dirty.empty() ? -1 : 0;
        const int n = ::epoll_wait(m_epoll.Get(), events, 64, timeout);
        for (int i = 0; i < n; ++i) {
            if (SourceOf(events[i].data.u64) == Source::Stop) stopping = true;
            HandleEvent(events[i].data.u64, events[i].events);
        }
    }
    Unpublish();
}

void UnitServer::Stop() {
    const std::uint64_t one = 1;
    if (m_stop) {
        [[maybe_unused]] const ssize_t ignored = ::write(m_stop.Get(), &one, sizeof one);
    }
}

void UnitServer::Complete(Completion&& completion) {
    const ClientId client = completion.client;
    const auto it = m_connections.find(client);
    if (it == m_connections.end()) return;
    it->second->Queue(std::move(completion));
    m_dirty.insert(client);
}

void UnitServer::Add(int fd, std::uint64_t key, std::uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = key;
    if (::epoll_ctl(m_epoll.Get(), EPOLL_CTL_ADD, fd, &event) != 0) {
        ::epoll_ctl(m_epoll.Get(), EPOLL_CTL_MOD, fd, &event);
    }
}

void UnitServer::HandleEvent(std::uint64_t key, std::uint32_t events) {
    switch (SourceOf(key)) {
        case Source::Stop:
            break;
        case Source::Housekeeping: {
            std::uint64_t expirations = 0;
            [[maybe_unused]] const ssize_t ignored =
                ::read(m_housekeeping.Get(), &expirations, sizeof expirations);
            break;
        }
        case Source::UnitListener:
            Accept(UnitId(IdOf(key)));
            break;
        case Source::Connection:
            ServeConnection(ClientId(IdOf(key)), events);
            break;
        case Source::Watched: {
            const auto it = m_watched.find(int(IdOf(key)));
            // A copy: the handler may unwatch its own descriptor.
            if (it != m_watched.end()) Handler(it->second)(events);
            break;
        }
    }
}

platform::UniqueFd UnitServer::AcceptOn(int listener, bool forControl) {
    platform::UniqueFd socket(::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (socket || !OutOfDescriptors(errno)) return socket;
    // The waiting connection would wake the loop again and again: take it with the spare.
    if (!m_spare) {
        // Nothing to take it with; listen again once a descriptor frees.
        if (!forControl) PauseUnitListeners(true);
        return {};
    }
    m_spare.Reset();
    socket.Reset(::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (forControl) return socket;  // served; the spare comes back when a descriptor frees
    socket.Reset();                 // a unit client is turned away
    m_spare = OpenSpare();
    return {};
}

void UnitServer::PauseUnitListeners(bool pause) {
    if (pause == m_unitListenersPaused) return;
    m_unitListenersPaused = pause;
    for (const auto& [unit, listener] : m_unitListeners) {
        if (pause) {
            ::epoll_ctl(m_epoll.Get(), EPOLL_CTL_DEL, listener.Get(), nullptr);
        } else {
            Add(listener.Get(), Key(Source::UnitListener, unit), EPOLLIN);
        }
    }
}

void UnitServer::Housekeep() {
    const auto now = UnitConnection::Clock::now();
    if (now - m_lastHousekeeping < kHousekeepingPeriod) return;
    m_lastHousekeeping = now;
    std::vector<ClientId> stuck;
    for (const auto& [client, connection] : m_connections) {
        connection->TrimIfIdle();
        const auto since = connection->BackloggedSince();
        if (since && now - *since > kBacklogGrace) stuck.push_back(client);
    }
    for (const ClientId client : stuck) CloseConnection(client);
    if (!m_spare) m_spare = OpenSpare();
    if (m_spare) PauseUnitListeners(false);
}

std::string UnitServer::DaemonStatus(std::size_t extraControl) {
    return "daemon: resident " + std::to_string(ResidentKib()) + " KiB, connections " +
           std::to_string(m_connections.size()) + " unit + " + std::to_string(extraControl) +
           " control" + (ShortOfDescriptors() ? ", out of descriptors" : "") + "\n";
}

bool UnitServer::ShortOfDescriptors() {
    // The spare comes back as soon as a descriptor frees, not only at the next housekeeping.
    if (!m_spare) m_spare = OpenSpare();
    if (!m_spare || m_unitListenersPaused) return true;
    return !OpenSpare();
}

void UnitServer::Accept(UnitId unit) {
    const auto listener = m_unitListeners.find(unit);
    if (listener == m_unitListeners.end() || m_backend == nullptr) return;
    platform::UniqueFd socket = AcceptOn(listener->second.Get(), false);
    if (!socket) return;
    ::setsockopt(socket.Get(), SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
    const ClientId client = m_backend->Connect(unit);
    Add(socket.Get(), Key(Source::Connection, client), EPOLLIN);
    auto connection = std::make_unique<UnitConnection>(std::move(socket), client);
    connection->SetWatchedEvents(EPOLLIN);
    m_connections[client] = std::move(connection);
}

void UnitServer::ServeConnection(ClientId client, std::uint32_t events) {
    const auto it = m_connections.find(client);
    if (it == m_connections.end()) return;
    if (events & EPOLLOUT) m_dirty.insert(client);
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) == 0) return;
    // A backlogged connection reads nothing, so a hang-up would wake the loop for ever.
    const bool hungUp = (events & (EPOLLHUP | EPOLLERR)) != 0 && it->second->Backlogged();
    const bool open =
        !hungUp &&
        it->second->Receive([this, client](const auto& header, const auto payload, int passedFd) {
            HandleFrame(client, header, payload, passedFd);
        });
    if (!open) CloseConnection(client);
}

void UnitServer::HandleFrame(ClientId client, const platform::FrameHeader& header,
                             std::span<const std::uint8_t> payload, int passedFd) {
    if (header.kind == platform::FrameKind::Cancel) return m_backend->Cancel(client, header.id);
    const bool shared = header.kind == platform::FrameKind::SharedRequest;
    m_backend->Submit({client, header.id, header.code, payload, header.outSize, shared, passedFd});
}

void UnitServer::FlushConnections() {
    std::set<ClientId> broken;
    std::vector<ClientId> resumed;
    for (const ClientId client : m_dirty) {
        const auto it = m_connections.find(client);
        if (it == m_connections.end()) continue;
        if (!it->second->Flush()) {
            broken.insert(client);
            continue;
        }
        UnitConnection& connection = *it->second;
        if (!connection.Backlogged() && connection.HasInput()) resumed.push_back(client);
        const std::uint32_t events = (connection.Backlogged() ? 0u : std::uint32_t(EPOLLIN)) |
                                     (connection.HasOutput() ? std::uint32_t(EPOLLOUT) : 0u);
        if (events == connection.WatchedEvents()) continue;
        connection.SetWatchedEvents(events);
        epoll_event event{};
        event.events = events;
        event.data.u64 = Key(Source::Connection, client);
        ::epoll_ctl(m_epoll.Get(), EPOLL_CTL_MOD, it->second->Fd(), &event);
    }
    m_dirty.clear();
    for (const ClientId client : broken) CloseConnection(client);
    // Requests a backlog held back, now that their answers drained; theirs mark it dirty again.
    for (const ClientId client : resumed) {
        const auto it = m_connections.find(client);
        if (it == m_connections.end()) continue;
        const bool open = it->second->Resume(
            [this, client](const auto& header, const auto payload, int passedFd) {
                HandleFrame(client, header, payload, passedFd);
            });
        if (!open) CloseConnection(client);
    }
}

void UnitServer::CloseConnection(ClientId client) {
    if (m_connections.erase(client) == 0) return;
    m_dirty.erase(client);
    if (m_backend != nullptr) m_backend->Disconnect(client);
}

void UnitServer::Unpublish() {
    if (!m_published) return;
    m_published = false;
    m_connections.clear();
    while (!m_unitListeners.empty()) Withdraw(m_unitListeners.begin()->first);
    std::error_code ignored;
    std::filesystem::remove_all(StagingDir(), ignored);
    ::unlink((m_dir / kLockName).c_str());
    m_lock.Reset();
}

}  // namespace driver
