// kestrix-busd: the simulated 1394 bus, serving its units in the device directory until
// SIGTERM or SIGINT.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/DeviceDirectory.h"
#include "simbus/BusServer.h"

namespace {

simbus::BusServer* g_server = nullptr;

void OnSignal(int) {
    if (g_server != nullptr) g_server->Stop();
}

int Usage(const char* message) {
    if (message != nullptr) std::fprintf(stderr, "kestrix-busd: %s\n", message);
    std::fprintf(
        stderr,
        "usage: kestrix-busd [--dir DIR] [--cameras N] [--rate-scale X] [--host-caps BITS]\n"
        "  --dir DIR         device directory (default: KESTRIX_BUS_DIR, else the\n"
        "                    per-user directory)\n"
        "  --cameras N       cameras on the bus at start (default 1)\n"
        "  --rate-scale X    stream X times faster than real time (default 1)\n"
        "  --host-caps BITS  host adapter capabilities: 0x01 packet-based transfers,\n"
        "                    0x10 header stripping (default 0x11)\n");
    return 2;
}

bool ParseNumber(const char* text, double& value) {
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
    simbus::BusServer::Options options;
    options.dir = platform::DeviceDirectory::Path();
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(nullptr);
            return 0;
        }
        if (i + 1 >= argc) return Usage(("missing value for " + std::string(arg)).c_str());
        const char* value = argv[++i];
        double number = 0;
        if (arg == "--dir") {
            options.dir = value;
        } else if (arg == "--cameras" && ParseNumber(value, number) && number >= 0 &&
                   number <= 62 && number == unsigned(number)) {
            options.cameras = unsigned(number);
        } else if (arg == "--rate-scale" && ParseNumber(value, number) && number > 0 &&
                   number <= 1000) {
            options.rateScale = number;
        } else if (arg == "--host-caps" && ParseNumber(value, number) && number >= 0 &&
                   number <= 0xFF && number == std::uint32_t(number) &&
                   (std::uint32_t(number) & ~simbus::kHostCapsConfigurable) == 0) {
            options.hostCaps = std::uint32_t(number);
        } else {
            return Usage(("bad option " + std::string(arg) + " " + value).c_str());
        }
    }
    if (options.dir.empty()) return Usage("no device directory");

    simbus::BusServer server;
    g_server = &server;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    std::string error;
    if (!server.Start(options, error)) {
        std::fprintf(stderr, "kestrix-busd: %s\n", error.c_str());
        return 1;
    }

    std::printf("kestrix-busd: serving %u camera%s in %s\n", options.cameras,
                options.cameras == 1 ? "" : "s", options.dir.c_str());
    std::fflush(stdout);
    server.Run();
    g_server = nullptr;
    return 0;
}
