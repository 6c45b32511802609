// The module's private simulated bus.
#include "python/src/Simulation.h"

#include <memory>
#include <mutex>

#include "python/src/CameraSession.h"
#include "python/src/Errors.h"
#include "common/PrivateBus.h"

namespace kxpy {
namespace {

std::mutex g_lock;
std::unique_ptr<PrivateBus> g_bus;  // guarded by g_lock

}  // namespace

void StartSimulation(const std::string& daemon) {
    std::scoped_lock lock(g_lock);
    if (g_bus) return;
    if (CameraSession::AnyOpen()) {
        throw Error(
            "simulate=True must come before the first camera is opened here: "
            "close every camera first");
    }
    auto bus = std::make_unique<PrivateBus>();
    std::string error;
    if (!bus->StartUnlessRunning(error, PrivateBus::Daemon::Simulated, daemon)) throw Error(error);
    g_bus = std::move(bus);
}

void StopSimulation() {
    std::scoped_lock lock(g_lock);
    g_bus.reset();
}

}  // namespace kxpy
