// kestrix-busd's server: publishes one socket per unit of a simulated bus in the device
// directory, serves the driver protocol on every connection and kestrix-busctl commands on the
// control socket, and paces the isochronous streams, all from one thread around epoll.
//
// Threading: Start and Run on one thread; Stop from any thread or a signal handler.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"
#include "simbus/Bus.h"
#include "simbus/Completion.h"
#include "simbus/ControlProtocol.h"
#include "simbus/CycleClock.h"
#include "simbus/UnitConnection.h"

namespace simbus {

class BusServer : private CompletionSink {
public:
    struct Options {
        std::filesystem::path dir;
        unsigned cameras = 1;
        double rateScale = 1.0;
        std::uint32_t hostCaps = kHostCapsConfigurable;
        CameraModel::Kind model = CameraModel::Kind::Kx1360;
    };

    BusServer();
    ~BusServer() override;
    BusServer(const BusServer&) = delete;
    BusServer& operator=(const BusServer&) = delete;

    // Takes the directory (refused while another daemon holds it) and publishes the units.
    // False with a message when it cannot; folders it made for the directory are gone then.
    bool Start(const Options& options, std::string& error);
    // Serves until Stop; then removes everything it published.
    void Run();
    // Async-signal-safe.
    void Stop();

private:
    struct ControlClient {
        platform::UniqueFd socket;
        std::string line;
        UnitConnection::Clock::time_point since;  // connected: one that sends nothing is closed
    };

    void Complete(Completion&& completion) override;
    bool Serve(const Options& options, std::string& error);
    bool TakeDirectory(std::string& error);
    // Removes the folders TakeDirectory made, innermost first, as long as they are empty.
    void RemoveMadeFolders();
    bool PublishUnit(UnitId unit, std::string& error);
    void UnpublishUnit(UnitId unit);
    void Watch(int fd, std::uint64_t key, std::uint32_t events);
    void HandleEvent(std::uint64_t key, std::uint32_t events);
    void Accept(UnitId unit);
    void AcceptControl();
    void ServeConnection(ClientId client, std::uint32_t events);
    void HandleFrame(ClientId client, const platform::FrameHeader& header,
                     std::span<const std::uint8_t> payload, int passedFd);
    // Accepts on a listener that may find the process out of descriptors.
    platform::UniqueFd AcceptOn(int listener, bool forControl);
    void PauseUnitListeners(bool pause);
    // Once a second or so: drops connections stuck over their bounds, takes the spare
    // descriptor back, listens again where a lack of descriptors paused it.
    void Housekeep();
    std::string DaemonStatus();
    // Whether a connection now would need the spare descriptor (or find none).
    bool ShortOfDescriptors();
    void ServeControl(std::uint64_t id);
    std::string Execute(std::string_view line);
    void FlushConnections();
    void CloseConnection(ClientId client);
    void ArmTimer(std::optional<std::uint64_t> dueCycle);
    void Unpublish();
    std::filesystem::path UnitPath(UnitId unit) const;

    Options m_options;
    std::unique_ptr<CycleClock> m_clock;
    std::unique_ptr<Bus> m_bus;
    platform::UniqueFd m_lock;
    platform::UniqueFd m_epoll;
    platform::UniqueFd m_timer;
    platform::UniqueFd m_stop;
    platform::UniqueFd m_controlListener;
    std::map<UnitId, platform::UniqueFd> m_unitListeners;
    std::map<ClientId, std::unique_ptr<UnitConnection>> m_connections;
    std::map<std::uint64_t, ControlClient> m_controlClients;
    std::uint64_t m_nextControlClient = 1;
    std::set<ClientId> m_dirty;  // connections with answers to write
    bool m_published = false;
    std::vector<std::filesystem::path> m_madeFolders;  // outermost first
    // Held open so that, out of descriptors, a connection can still be accepted: closed at once
    // on a unit socket, served on the control socket.
    platform::UniqueFd m_spare;
    bool m_unitListenersPaused = false;
    UnitConnection::Clock::time_point m_lastHousekeeping{};
    std::optional<std::uint64_t> m_armedCycle;  // what the stream timer is set for
};

}  // namespace simbus
