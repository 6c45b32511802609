// kestrix-busd's server: a simulated bus behind the unit sockets of the device directory,
// kestrix-busctl commands on the control socket, and the pacing of the isochronous streams,
// all on the unit server's one thread.
//
// Threading: Start and Run on one thread; Stop from any thread or a signal handler.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "driver/UnitConnection.h"
#include "driver/UnitServer.h"
#include "platform/UniqueFd.h"
#include "simbus/Bus.h"
#include "simbus/ControlProtocol.h"
#include "simbus/CycleClock.h"

namespace simbus {

// The daemon framework the simulated bus is served through.
using namespace driver;

class BusServer {
public:
    struct Options {
        std::filesystem::path dir;
        unsigned cameras = 1;
        double rateScale = 1.0;
        std::uint32_t hostCaps = kHostCapsConfigurable;
        std::uint32_t receiveContexts = 4;
        CameraModel::Kind model = CameraModel::Kind::Kx1360;
        BayerFilter bayer = BayerFilter::None;
    };

    BusServer();
    ~BusServer();
    BusServer(const BusServer&) = delete;
    BusServer& operator=(const BusServer&) = delete;

    // Takes the directory (refused while another daemon holds it) and publishes the units.
    // False with a message when it cannot; folders it made for the directory are gone then.
    bool Start(const Options& options, std::string& error);
    // Serves until Stop; then removes everything it published.
    void Run();
    // Async-signal-safe.
    void Stop() { m_server.Stop(); }

private:
    struct ControlClient {
        platform::UniqueFd socket;
        std::string line;
        UnitConnection::Clock::time_point since;  // connected: one that sends nothing is closed
    };

    bool Serve(const Options& options, std::string& error);
    void AcceptControl();
    void ServeControl(std::uint64_t id);
    std::string Execute(std::string_view line);
    void OnTimer();
    void ArmTimer(std::optional<std::uint64_t> dueCycle);
    // Closes control clients that sent nothing for too long.
    void DropIdleControl();

    Options m_options;
    UnitServer m_server;
    std::unique_ptr<CycleClock> m_clock;
    std::unique_ptr<Bus> m_bus;
    platform::UniqueFd m_timer;
    platform::UniqueFd m_controlListener;
    std::map<std::uint64_t, ControlClient> m_controlClients;
    std::uint64_t m_nextControlClient = 1;
    std::optional<std::uint64_t> m_armedCycle;  // what the stream timer is set for
};

}  // namespace simbus
