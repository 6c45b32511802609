// The daemon's event loop: unit and control sockets, connections, and the stream timer.
#include "simbus/BusServer.h"

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
#include <cstdio>
#include <cstring>
#include <system_error>
#include <vector>

namespace simbus {
namespace {

enum class Source : std::uint64_t {
    Timer = 1,
    Stop,
    ControlListener,
    UnitListener,
    Connection,
    ControlClient
};

constexpr const char* kLockName = ".busd.lock";
constexpr std::size_t kMaxControlLine = 4096;
// A control client sends its one line at once; one that sends nothing for this long is closed.
constexpr auto kControlIdle = std::chrono::seconds(5);
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

bool FillAddress(const std::filesystem::path& path, sockaddr_un& address) {
    const std::string text = path.string();
    if (text.size() >= sizeof address.sun_path) return false;
    address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return true;
}

// A listening socket bound at path; invalid (errno set) when it cannot be made.
platform::UniqueFd Listen(const std::filesystem::path& path) {
    sockaddr_un address;
    if (!FillAddress(path, address)) {
        errno = ENAMETOOLONG;
        return {};
    }
    platform::UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    ::unlink(path.c_str());
    if (!socket ||
        ::bind(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(socket.Get(), SOMAXCONN) != 0) {
        return {};
    }
    return socket;
}

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

}  // namespace

// Made first, so that a Stop that comes while Start still works is not lost.
BusServer::BusServer() : m_stop(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), m_spare(OpenSpare()) {}

BusServer::~BusServer() { Unpublish(); }

bool BusServer::Start(const Options& options, std::string& error) {
    if (Serve(options, error)) return true;
    Unpublish();
    RemoveMadeFolders();
    return false;
}

bool BusServer::Serve(const Options& options, std::string& error) {
    m_options = options;
    if (!(options.rateScale > 0 && options.rateScale <= 1000)) {
        error = "the rate scale must be above 0 and at most 1000";
        return false;
    }
    if (!TakeDirectory(error)) return false;
    m_epoll.Reset(::epoll_create1(EPOLL_CLOEXEC));
    m_timer.Reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (!m_epoll || !m_timer || !m_stop) {
        error = SystemError("cannot set up the event loop");
        return false;
    }
    Watch(m_timer.Get(), Key(Source::Timer, 0), EPOLLIN);
    Watch(m_stop.Get(), Key(Source::Stop, 0), EPOLLIN);

    m_clock = std::make_unique<CycleClock>(options.rateScale);
    m_bus = std::make_unique<Bus>(static_cast<CompletionSink&>(*this), *m_clock, options.hostCaps);
    m_bus->SetCameraKind(options.model);
    for (unsigned i = 0; i < options.cameras; ++i) {
        const auto unit = m_bus->AddCamera();
        if (!unit) {
            error = "a bus holds at most 62 units";
            return false;
        }
        if (!PublishUnit(*unit, error)) return false;
    }
    m_controlListener = Listen(ControlProtocol::SocketPath(options.dir));
    if (!m_controlListener) {
        error = SystemError("cannot make the control socket " +
                            ControlProtocol::SocketPath(options.dir).string());
        return false;
    }
    Watch(m_controlListener.Get(), Key(Source::ControlListener, 0), EPOLLIN);
    return true;
}

void BusServer::Run() {
    epoll_event events[64];
    for (bool stopping = false; !stopping;) {
        ArmTimer(m_bus->Advance());
        FlushConnections();
        Housekeep();
        // Answers that held-back requests produced go out without waiting for an event.
        const int timeout = m_dirty.empty() ? int(kHousekeepingPeriod.count()) : 0;
        const int n = ::epoll_wait(m_epoll.Get(), events, 64, timeout);
        for (int i = 0; i < n; ++i) {
            if (SourceOf(events[i].data.u64) == Source::Stop) stopping = true;
            HandleEvent(events[i].data.u64, events[i].events);
        }
    }
    Unpublish();
}

void BusServer::Stop() {
    const std::uint64_t one = 1;
    if (m_stop) {
        [[maybe_unused]] const ssize_t ignored = ::write(m_stop.Get(), &one, sizeof one);
    }
}

void BusServer::Complete(Completion&& completion) {
    const ClientId client = completion.client;
    const auto it = m_connections.find(client);
    if (it == m_connections.end()) return;
    it->second->Queue(std::move(completion));
    m_dirty.insert(client);
}

bool BusServer::TakeDirectory(std::string& error) {
    const std::filesystem::path& dir = m_options.dir;
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
        m_lock.Reset();
        error = "another kestrix-busd already serves " + dir.string();
        return false;
    }
    m_published = true;
    // What a daemon that died left behind.
    for (const auto& entry : std::filesystem::directory_iterator(dir, failure)) {
        if (entry.path().filename().string().starts_with("unit-") && entry.is_socket(failure)) {
            std::filesystem::remove(entry.path(), failure);
        }
    }
    const std::filesystem::path control = ControlProtocol::ControlDir(dir);
    std::filesystem::remove_all(control, failure);
    if (::mkdir(control.c_str(), 0700) != 0) {
        error = SystemError("cannot make " + control.string());
        return false;
    }
    return true;
}

void BusServer::RemoveMadeFolders() {
    while (!m_madeFolders.empty()) {
        if (::rmdir(m_madeFolders.back().c_str()) != 0) break;
        m_madeFolders.pop_back();
    }
}

bool BusServer::PublishUnit(UnitId unit, std::string& error) {
    // Bound and listening before it appears, so that nobody who sees the socket is refused.
    const std::filesystem::path staging =
        ControlProtocol::ControlDir(m_options.dir) / UnitPath(unit).filename();
    platform::UniqueFd listener = Listen(staging);
    if (!listener || ::rename(staging.c_str(), UnitPath(unit).c_str()) != 0) {
        error = SystemError("cannot publish " + UnitPath(unit).string());
        ::unlink(staging.c_str());
        return false;
    }
    Watch(listener.Get(), Key(Source::UnitListener, unit), EPOLLIN);
    m_unitListeners[unit] = std::move(listener);
    return true;
}

void BusServer::UnpublishUnit(UnitId unit) {
    if (m_unitListeners.erase(unit) != 0) ::unlink(UnitPath(unit).c_str());
}

void BusServer::Watch(int fd, std::uint64_t key, std::uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = key;
    if (::epoll_ctl(m_epoll.Get(), EPOLL_CTL_ADD, fd, &event) != 0) {
        ::epoll_ctl(m_epoll.Get(), EPOLL_CTL_MOD, fd, &event);
    }
}

void BusServer::HandleEvent(std::uint64_t key, std::uint32_t events) {
    switch (SourceOf(key)) {
        case Source::Timer: {
            std::uint64_t expirations = 0;
            [[maybe_unused]] ssize_t ignored =
                ::read(m_timer.Get(), &expirations, sizeof expirations);
            m_armedCycle.reset();  // spent: the next due cycle is armed even if it is the same
            break;
        }
        case Source::Stop:
            break;
        case Source::ControlListener:
            AcceptControl();
            break;
        case Source::UnitListener:
            Accept(UnitId(IdOf(key)));
            break;
        case Source::Connection:
            ServeConnection(ClientId(IdOf(key)), events);
            break;
        case Source::ControlClient:
            ServeControl(IdOf(key));
            break;
    }
}

platform::UniqueFd BusServer::AcceptOn(int listener, bool forControl) {
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

void BusServer::PauseUnitListeners(bool pause) {
    if (pause == m_unitListenersPaused) return;
    m_unitListenersPaused = pause;
    for (const auto& [unit, listener] : m_unitListeners) {
        if (pause) {
            ::epoll_ctl(m_epoll.Get(), EPOLL_CTL_DEL, listener.Get(), nullptr);
        } else {
            Watch(listener.Get(), Key(Source::UnitListener, unit), EPOLLIN);
        }
    }
}

void BusServer::Housekeep() {
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
    std::erase_if(m_controlClients,
                  [&](const auto& entry) { return now - entry.second.since > kControlIdle; });
    if (!m_spare) m_spare = OpenSpare();
    if (m_spare) PauseUnitListeners(false);
}

std::string BusServer::DaemonStatus() {
    return "daemon: resident " + std::to_string(ResidentKib()) + " KiB, connections " +
           std::to_string(m_connections.size()) + " unit + " +
           std::to_string(m_controlClients.size()) + " control" +
           (ShortOfDescriptors() ? ", out of descriptors" : "") + "\n";
}

bool BusServer::ShortOfDescriptors() {
    // The spare comes back as soon as a descriptor frees, not only at the next housekeeping.
    if (!m_spare) m_spare = OpenSpare();
    if (!m_spare || m_unitListenersPaused) return true;
    return !OpenSpare();
}

void BusServer::Accept(UnitId unit) {
    const auto listener = m_unitListeners.find(unit);
    if (listener == m_unitListeners.end()) return;
    platform::UniqueFd socket = AcceptOn(listener->second.Get(), false);
    if (!socket) return;
    ::setsockopt(socket.Get(), SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
    const ClientId client = m_bus->Connect(unit);
    Watch(socket.Get(), Key(Source::Connection, client), EPOLLIN);
    auto connection = std::make_unique<UnitConnection>(std::move(socket), client);
    connection->SetWatchedEvents(EPOLLIN);
    m_connections[client] = std::move(connection);
}

void BusServer::AcceptControl() {
    platform::UniqueFd socket = AcceptOn(m_controlListener.Get(), true);
    if (!socket) return;
    const std::uint64_t id = m_nextControlClient++;
    Watch(socket.Get(), Key(Source::ControlClient, id), EPOLLIN);
    m_controlClients[id] = ControlClient{std::move(socket), {}, UnitConnection::Clock::now()};
}

void BusServer::ServeConnection(ClientId client, std::uint32_t events) {
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

void BusServer::HandleFrame(ClientId client, const platform::FrameHeader& header,
                            std::span<const std::uint8_t> payload, int passedFd) {
    if (header.kind == platform::FrameKind::Cancel) return m_bus->Cancel(client, header.id);
    const bool shared = header.kind == platform::FrameKind::SharedRequest;
    m_bus->Submit({client, header.id, header.code, payload, header.outSize, shared, passedFd});
}

void BusServer::ServeControl(std::uint64_t id) {
    const auto it = m_controlClients.find(id);
    if (it == m_controlClients.end()) return;
    ControlClient& control = it->second;
    char chunk[1024];
    const ssize_t n = ::recv(control.socket.Get(), chunk, sizeof chunk, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n > 0) control.line.append(chunk, std::size_t(n));
    const std::size_t end = control.line.find('\n');
    if (end == std::string::npos && n > 0 && control.line.size() < kMaxControlLine) return;

    const std::string reply = n < 0 ? std::string()
                              : control.line.size() >= kMaxControlLine && end == std::string::npos
                                  ? ControlProtocol::Error("command too long")
                                  : Execute(std::string_view(control.line).substr(0, end));
    // Replies are short: a blocking send with a time-out cannot hold the bus up for long.
    const int flags = ::fcntl(control.socket.Get(), F_GETFL);
    ::fcntl(control.socket.Get(), F_SETFL, flags & ~O_NONBLOCK);
    const timeval timeout{2, 0};
    ::setsockopt(control.socket.Get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    for (std::size_t sent = 0; sent < reply.size();) {
        const ssize_t written =
            ::send(control.socket.Get(), reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (written <= 0) break;
        sent += std::size_t(written);
    }
    m_controlClients.erase(it);
}

std::string BusServer::Execute(std::string_view line) {
    std::string error;
    const auto command = ControlProtocol::Parse(line, error);
    if (!command) return ControlProtocol::Error(error);
    switch (command->verb) {
        case ControlCommand::Verb::Status:
            return ControlProtocol::Ok("directory: " + m_options.dir.string() + "\n" +
                                       DaemonStatus() + m_bus->Status());
        case ControlCommand::Verb::AddCamera:
        case ControlCommand::Verb::AddDevice: {
            const bool camera = command->verb == ControlCommand::Verb::AddCamera;
            const auto unit =
                camera ? m_bus->AddCamera(command->value) : m_bus->AddDevice(command->value);
            if (!unit) return ControlProtocol::Error("the bus holds 63 nodes already");
            if (!PublishUnit(*unit, error)) return ControlProtocol::Error(error);
            return ControlProtocol::Ok(UnitPath(*unit).string() + "\n");
        }
        case ControlCommand::Verb::Remove: {
            const auto units = m_bus->Units();
            if (command->value >= units.size()) {
                return ControlProtocol::Error("no unit has device number " +
                                              std::to_string(command->value));
            }
            // The socket goes first, so that whoever reacts to the bus reset lists the new set.
            UnpublishUnit(units[command->value]);
            m_bus->RemoveUnit(command->value);
            return ControlProtocol::Ok("");
        }
        case ControlCommand::Verb::BusReset:
            m_bus->Reset(command->renumber);
            return ControlProtocol::Ok("generation " + std::to_string(m_bus->Generation()) + "\n");
        case ControlCommand::Verb::Fault:
            if (command->fault) {
                m_bus->Faults().Arm(*command->fault, command->value);
            } else {
                m_bus->Faults().Clear();
            }
            return ControlProtocol::Ok("");
        case ControlCommand::Verb::HostCaps:
            m_bus->SetHostCaps(command->value);
            return ControlProtocol::Ok("");
        case ControlCommand::Verb::Trigger: {
            std::string why;
            if (!m_bus->Trigger(command->value, why)) return ControlProtocol::Error(why);
            return ControlProtocol::Ok(why.empty() ? "taken\n" : "ignored: " + why + "\n");
        }
    }
    return ControlProtocol::Error("unknown command");
}

void BusServer::FlushConnections() {
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

void BusServer::CloseConnection(ClientId client) {
    m_bus->Disconnect(client);
    m_connections.erase(client);
    m_dirty.erase(client);
}

void BusServer::ArmTimer(std::optional<std::uint64_t> dueCycle) {
    // Every turn of the loop asks; a request answered between frames must not cost a syscall.
    if (dueCycle == m_armedCycle) return;
    m_armedCycle = dueCycle;
    itimerspec deadline{};
    if (dueCycle) {
        const auto since = m_clock->TimeOf(*dueCycle).time_since_epoch();
        const auto nanoseconds =
            std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
        deadline.it_value.tv_sec = nanoseconds / 1'000'000'000;
        deadline.it_value.tv_nsec = nanoseconds % 1'000'000'000;
        if (deadline.it_value.tv_sec == 0 && deadline.it_value.tv_nsec == 0)
            deadline.it_value.tv_nsec = 1;
    }
    ::timerfd_settime(m_timer.Get(), TFD_TIMER_ABSTIME, &deadline, nullptr);
}

void BusServer::Unpublish() {
    if (!m_published) return;
    m_published = false;
    m_connections.clear();
    m_controlClients.clear();
    while (!m_unitListeners.empty()) UnpublishUnit(m_unitListeners.begin()->first);
    m_controlListener.Reset();
    std::error_code ignored;
    std::filesystem::remove_all(ControlProtocol::ControlDir(m_options.dir), ignored);
    ::unlink((m_options.dir / kLockName).c_str());
    m_lock.Reset();
}

std::filesystem::path BusServer::UnitPath(UnitId unit) const {
    char name[32];
    std::snprintf(name, sizeof name, "unit-%06u", unit);
    return m_options.dir / name;
}

}  // namespace simbus
