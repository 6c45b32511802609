// The simulated bus behind the unit server: control socket and stream timer.
#include "simbus/BusServer.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace simbus {
namespace {

constexpr std::size_t kMaxControlLine = 4096;
// A control client sends its one line at once; one that sends nothing for this long is closed.
constexpr auto kControlIdle = std::chrono::seconds(5);

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

BusServer::BusServer() : m_timer(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {}

BusServer::~BusServer() {
    // The server goes after the bus it serves: no connection outlives its backend.
    m_server.SetBackend(nullptr);
}

bool BusServer::Start(const Options& options, std::string& error) {
    if (Serve(options, error)) return true;
    m_server.Abandon();
    return false;
}

bool BusServer::Serve(const Options& options, std::string& error) {
    m_options = options;
    if (!(options.rateScale > 0 && options.rateScale <= 1000)) {
        error = "the rate scale must be above 0 and at most 1000";
        return false;
    }
    if (!m_server.Open(options.dir, "kestrix-busd", error)) return false;
    if (!m_timer) {
        error = SystemError("cannot set up the stream timer");
        return false;
    }
    m_server.Watch(m_timer.Get(), EPOLLIN, [this](std::uint32_t) { OnTimer(); });

    m_clock = std::make_unique<CycleClock>(options.rateScale);
    m_bus = std::make_unique<Bus>(static_cast<CompletionSink&>(m_server), *m_clock,
                                  options.hostCaps);
    m_bus->SetReceiveContexts(options.receiveContexts);
    m_bus->SetCameraKind(options.model);
    m_bus->SetCameraFilter(options.bayer);
    m_server.SetBackend(m_bus.get());
    for (unsigned i = 0; i < options.cameras; ++i) {
        const auto unit = m_bus->AddCamera();
        if (!unit) {
            error = "a bus holds at most 62 units";
            return false;
        }
        if (!m_server.Publish(*unit, error)) return false;
    }
    m_controlListener = ListenAt(ControlProtocol::SocketPath(options.dir));
    if (!m_controlListener) {
        error = SystemError("cannot make the control socket " +
                            ControlProtocol::SocketPath(options.dir).string());
        return false;
    }
    m_server.Watch(m_controlListener.Get(), EPOLLIN, [this](std::uint32_t) { AcceptControl(); });
    return true;
}

void BusServer::Run() {
    m_server.Run([this] {
        ArmTimer(m_bus->Advance());
        DropIdleControl();
    });
    m_controlClients.clear();
    m_controlListener.Reset();
}

void BusServer::OnTimer() {
    std::uint64_t expirations = 0;
    [[maybe_unused]] ssize_t ignored = ::read(m_timer.Get(), &expirations, sizeof expirations);
    m_armedCycle.reset();  // spent: the next due cycle is armed even if it is the same
}

void BusServer::DropIdleControl() {
    const auto now = UnitConnection::Clock::now();
    for (auto it = m_controlClients.begin(); it != m_controlClients.end();) {
        if (now - it->second.since > kControlIdle) {
            m_server.Unwatch(it->second.socket.Get());
            it = m_controlClients.erase(it);
        } else {
            ++it;
        }
    }
}

void BusServer::AcceptControl() {
    platform::UniqueFd socket = m_server.AcceptOn(m_controlListener.Get(), true);
    if (!socket) return;
    const std::uint64_t id = m_nextControlClient++;
    m_server.Watch(socket.Get(), EPOLLIN, [this, id](std::uint32_t) { ServeControl(id); });
    m_controlClients[id] = ControlClient{std::move(socket), {}, UnitConnection::Clock::now()};
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
    m_server.Unwatch(control.socket.Get());
    m_controlClients.erase(it);
}

std::string BusServer::Execute(std::string_view line) {
    std::string error;
    const auto command = ControlProtocol::Parse(line, error);
    if (!command) return ControlProtocol::Error(error);
    switch (command->verb) {
        case ControlCommand::Verb::Status:
            return ControlProtocol::Ok("directory: " + m_options.dir.string() + "\n" +
                                       m_server.DaemonStatus(m_controlClients.size()) +
                                       m_bus->Status());
        case ControlCommand::Verb::AddCamera:
        case ControlCommand::Verb::AddDevice: {
            const bool camera = command->verb == ControlCommand::Verb::AddCamera;
            const auto unit =
                camera ? m_bus->AddCamera(command->value) : m_bus->AddDevice(command->value);
            if (!unit) return ControlProtocol::Error("the bus holds 63 nodes already");
            if (!m_server.Publish(*unit, error)) return ControlProtocol::Error(error);
            return ControlProtocol::Ok(m_server.UnitPath(*unit).string() + "\n");
        }
        case ControlCommand::Verb::Remove: {
            const auto units = m_bus->Units();
            if (command->value >= units.size()) {
                return ControlProtocol::Error("no unit has device number " +
                                              std::to_string(command->value));
            }
            // The socket goes first, so that whoever reacts to the bus reset lists the new set.
            m_server.Withdraw(units[command->value]);
            m_bus->RemoveUnit(command->value);
            return ControlProtocol::Ok("");
        }
        case ControlCommand::Verb::BusReset:
            m_bus->Reset(command->renumber, command->cycleJump);
            return ControlProtocol::Ok("generation " + std::to_string(m_bus->Generation()) + "\n");
        case ControlCommand::Verb::Fault:
            if (command->camera) {
                if (!m_bus->LoseFrames(*command->camera, command->value, error))
                    return ControlProtocol::Error(error);
            } else if (command->fault) {
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
        case ControlCommand::Verb::Sent: {
            std::string text;
            if (!m_bus->SentFrames(command->value, text)) return ControlProtocol::Error(text);
            return ControlProtocol::Ok(text);
        }
    }
    return ControlProtocol::Error("unknown command");
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

}  // namespace simbus
