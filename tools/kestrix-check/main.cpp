// kestrix-check: a conformance check of an IIDC camera, real or simulated, whose report a user
// attaches to a bug. See --help and docs/man/kestrix-check.1.
#include <csignal>
#include <cstdio>
#include <span>
#include <string>

#include "common/CommandLine.h"
#include "common/PrivateBus.h"
#include "common/StopSignals.h"
#include "tools/kestrix-check/CheckOptions.h"
#include "tools/kestrix-check/CheckRun.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoCamera = 3;

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const auto options =
        CheckOptions::Parse(std::span<char* const>(argv + 1, std::size_t(argc - 1)), error);
    if (!options) {
        std::fprintf(stderr, "kestrix-check: %s\n", error.c_str());
        return kExitUsage;
    }
    if (options->help) {
        std::fputs(CheckOptions::Usage(), stdout);
        return 0;
    }
    if (options->version) {
        std::puts(CommandLine::VersionLine("kestrix-check").c_str());
        return 0;
    }
    // On a stop signal the run puts the camera back, then ends.
    const std::atomic<int>& stopSignal = StopSignals::Catch();
    // Declared first, so that the daemon outlives the camera library that uses it.
    PrivateBus bus;
    bus.SetModel(options->model);
    const auto daemon =
        options->simulate ? PrivateBus::Daemon::Simulated : PrivateBus::Daemon::FireWire;
    if (!bus.StartUnlessRunning(error, daemon)) {
        std::fprintf(stderr, "kestrix-check: %s\n", error.c_str());
        return bus.NoController() ? kExitNoCamera : kExitFailed;
    }
    return CheckRun(*options, stopSignal).Run();
}
