// kestrix-busd: the simulated 1394 bus, serving its units in the device directory until
// SIGTERM or SIGINT.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/CommandLine.h"
#include "common/DaemonSignals.h"
#include "platform/DeviceDirectory.h"
#include "simbus/BusServer.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "usage: kestrix-busd [--dir DIR] [--cameras N] [--model NAME] [--bayer PATTERN]\n"
    "                    [--rate-scale X] [--host-caps BITS] [--receive-contexts N]\n"
    "\n"
    "Serves a simulated 1394 bus with IIDC cameras in a device directory until SIGTERM or\n"
    "SIGINT; prints one line on stdout once it serves.\n"
    "\n"
    "  --dir DIR         device directory (default: KESTRIX_BUS_DIR, else the\n"
    "                    per-user directory)\n"
    "  --cameras N       cameras on the bus at start, 0 to 62 (default 1)\n"
    "  --model NAME      the cameras' model: kx1360 (default), or generic (only the\n"
    "                    standard IIDC registers, fewer modes and features)\n"
    "  --bayer PATTERN   the cameras' sensor has a colour filter: Format 7 mode 0 also\n"
    "                    sends RAW8, its colour-filter register naming PATTERN (rggb,\n"
    "                    gbrg, grbg, bggr), or unlisted (RGGB without the register);\n"
    "                    none (default) is a monochrome sensor\n"
    "  --rate-scale X    stream X times faster than real time, above 0 to 1000 (default 1)\n"
    "  --host-caps BITS  host adapter capabilities: 0x01 packet-based transfers,\n"
    "                    0x10 header stripping (default 0x11)\n"
    "  --receive-contexts N  isochronous receive contexts the host adapter reports,\n"
    "                    1 to 64 (default 4)\n"
    "  -h, --help        show this help and exit\n"
    "      --version     show the version and exit\n"
    "\n"
    "Exit status: 0 never (it serves until stopped), 1 it cannot serve, 2 bad arguments,\n"
    "130 stopped by SIGINT, 143 stopped by SIGTERM.\n";

int Fail(int status, const std::string& message) {
    std::fprintf(stderr, "kestrix-busd: %s\n", message.c_str());
    return status;
}

bool ParseNumber(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0';
}

// Sets one option of options; the reason when its value does not hold.
std::string Take(simbus::BusServer::Options& options, const CommandLine::Given& given) {
    double number = 0;
    const bool isNumber = ParseNumber(given.value, number);
    if (given.name == "dir") {
        if (given.value.empty()) return "a folder";
        options.dir = given.value;
    } else if (given.name == "cameras") {
        if (!isNumber || number < 0 || number > 62 || number != unsigned(number)) return "0 to 62";
        options.cameras = unsigned(number);
    } else if (given.name == "model") {
        const auto kind = simbus::CameraModel::KindNamed(given.value);
        if (!kind) return "kx1360 or generic";
        options.model = *kind;
    } else if (given.name == "bayer") {
        const auto filter = simbus::BayerFilterNamed(given.value);
        if (!filter) return "none, rggb, gbrg, grbg, bggr or unlisted";
        options.bayer = *filter;
    } else if (given.name == "rate-scale") {
        if (!isNumber || !(number > 0) || number > 1000) return "above 0, at most 1000";
        options.rateScale = number;
    } else if (given.name == "receive-contexts") {
        if (!isNumber || number < 1 || number > 64 || number != unsigned(number)) return "1 to 64";
        options.receiveContexts = std::uint32_t(number);
    } else if (!isNumber || number < 0 || number > 0xFF || number != std::uint32_t(number) ||
               (std::uint32_t(number) & ~simbus::kHostCapsConfigurable) != 0) {
        return "bits of 0x11";
    } else {
        options.hostCaps = std::uint32_t(number);
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    static constexpr CommandLine::Option kOptions[] = {{"dir", true},        {"cameras", true},
                                                       {"model", true},      {"bayer", true},
                                                       {"rate-scale", true}, {"host-caps", true},
                                                       {"receive-contexts", true}};
    std::string error;
    const auto line = CommandLine::Parse(std::span<char* const>(argv + 1, std::size_t(argc - 1)),
                                         kOptions, CommandLine::Operands::Anywhere, error);
    if (!line) return Fail(kExitUsage, error);
    if (line->help || line->version) {
        std::puts(line->help ? kUsage : CommandLine::VersionLine("kestrix-busd").c_str());
        return 0;
    }
    if (!line->operands.empty()) {
        return Fail(kExitUsage,
                    "unexpected argument '" + line->operands.front() + "' (see --help)");
    }
    simbus::BusServer::Options options;
    options.dir = platform::DeviceDirectory::Path();
    for (const CommandLine::Given& given : line->options) {
        if (const std::string expected = Take(options, given); !expected.empty()) {
            return Fail(kExitUsage, "bad value '" + given.value + "' for --" + given.name + " (" +
                                        expected + ")");
        }
    }
    if (options.dir.empty()) return Fail(kExitUsage, "no device directory");

    simbus::BusServer server;
    DaemonSignals::StopOn(server);
    if (!server.Start(options, error)) return Fail(kExitFailed, error);

    std::printf("kestrix-busd: serving %u camera%s in %s\n", options.cameras,
                options.cameras == 1 ? "" : "s", options.dir.c_str());
    std::fflush(stdout);
    server.Run();
    DaemonSignals::Forget();
    return DaemonSignals::ExitStatus();
}
