// kestrix-fwd: the bridge between the device protocol and the kernel's FireWire stack, serving
// every IIDC camera on the machine's buses in the device directory until SIGTERM or SIGINT.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/CommandLine.h"
#include "common/DaemonSignals.h"
#include "fw/FwServer.h"
#include "fw/KernelApi.h"
#include "platform/DeviceDirectory.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "usage: kestrix-fwd [--dir DIR] [--receive-contexts N]\n"
    "\n"
    "Serves the IIDC cameras on the machine's FireWire buses (the kernel's /dev/fw* files) in\n"
    "a device directory until SIGTERM or SIGINT; prints one line on stdout once it serves.\n"
    "Cameras plugged in later are served as they come.\n"
    "\n"
    "  --dir DIR     device directory (default: KESTRIX_BUS_DIR, else the per-user directory)\n"
    "  --receive-contexts N  isochronous receive contexts of the FireWire controller, which\n"
    "                the kernel does not report, 1 to 64 (default 4, what common ones have)\n"
    "  -h, --help    show this help and exit\n"
    "      --version show the version and exit\n"
    "\n"
    "Environment: KESTRIX_FW_DEVDIR, the folder of the fw* files (default /dev).\n"
    "\n"
    "Exit status: 0 never (it serves until stopped), 1 it cannot serve, 2 bad arguments,\n"
    "130 stopped by SIGINT, 143 stopped by SIGTERM.\n";

int Fail(int status, const std::string& message) {
    std::fprintf(stderr, "kestrix-fwd: %s\n", message.c_str());
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    static constexpr CommandLine::Option kOptions[] = {{"dir", true}, {"receive-contexts", true}};
    std::string error;
    const auto line = CommandLine::Parse(std::span<char* const>(argv + 1, std::size_t(argc - 1)),
                                         kOptions, CommandLine::Operands::Anywhere, error);
    if (!line) return Fail(kExitUsage, error);
    if (line->help || line->version) {
        std::puts(line->help ? kUsage : CommandLine::VersionLine("kestrix-fwd").c_str());
        return 0;
    }
    if (!line->operands.empty())
        return Fail(kExitUsage,
                    "unexpected argument '" + line->operands.front() + "' (see --help)");
    fw::FwServer::Options options;
    options.dir = platform::DeviceDirectory::Path();
    for (const CommandLine::Given& given : line->options) {
        if (given.name == "receive-contexts") {
            char* end = nullptr;
            const unsigned long contexts = std::strtoul(given.value.c_str(), &end, 10);
            if (given.value.empty() || *end != '\0' || contexts < 1 || contexts > 64) {
                return Fail(kExitUsage,
                            "bad value '" + given.value + "' for --receive-contexts (1 to 64)");
            }
            options.receiveContexts = std::uint32_t(contexts);
            continue;
        }
        if (given.value.empty()) return Fail(kExitUsage, "bad value '' for --dir (a folder)");
        options.dir = given.value;
    }
    if (options.dir.empty()) return Fail(kExitUsage, "no device directory");
    if (const char* devDir = std::getenv("KESTRIX_FW_DEVDIR"); devDir != nullptr && *devDir != '\0')
        options.devDir = devDir;

    fw::SystemKernel kernel;
    fw::FwServer server(kernel, [](const std::string& message) { Fail(0, message); });
    DaemonSignals::StopOn(server);
    if (!server.Start(options, error)) return Fail(kExitFailed, error);
    if (server.Bus().NodeFiles() == 0 && server.Bus().Denied().empty()) {
        Fail(0, "no FireWire controller (no fw* files in " + options.devDir +
                    "); cameras are served once one appears");
    }
    const std::size_t cameras = server.Bus().CameraCount();
    std::printf("kestrix-fwd: serving %zu camera%s in %s\n", cameras, cameras == 1 ? "" : "s",
                options.dir.c_str());
    std::fflush(stdout);
    server.Run();
    DaemonSignals::Forget();
    return DaemonSignals::ExitStatus();
}
