// Parsing kestrix-check's options.
#include "tools/kestrix-check/CheckOptions.h"

#include <cerrno>
#include <cstdlib>

#include "tools/common/CommandLine.h"

namespace {

constexpr CommandLine::Option kOptions[] = {
    {"camera", true}, {"simulate"}, {"quick"}, {"json"}, {"report", true}, {"pause-before", true},
};
constexpr int kMaxCameraIndex = 63;

// "N" (0..63) picks by index; 16 hex digits (0x allowed) by GUID.
bool ParseCamera(const std::string& text, CheckOptions& options) {
    const bool hex = text.size() >= 16 || text.rfind("0x", 0) == 0;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (text.empty() || text[0] == '-' || errno != 0 || *end != '\0') return false;
    if (hex) {
        options.guid = value;
        return value != 0;
    }
    options.camera = int(value);
    return value <= kMaxCameraIndex;
}

}  // namespace

std::optional<CheckOptions> CheckOptions::Parse(std::span<char* const> args, std::string& error) {
    const auto parsed = CommandLine::Parse(args, kOptions, CommandLine::Operands::Anywhere, error);
    if (!parsed) return std::nullopt;
    if (!parsed->operands.empty()) {
        error = "unexpected argument '" + parsed->operands.front() + "'";
        return std::nullopt;
    }
    CheckOptions options;
    options.help = parsed->help;
    options.version = parsed->version;
    for (const CommandLine::Given& given : parsed->options) {
        if (given.name == "camera" && !ParseCamera(given.value, options)) {
            error = "--camera takes a camera number 0..63 or a GUID of 16 hex digits";
            return std::nullopt;
        }
        if (given.name == "report") options.report = given.value;
        if (given.name == "pause-before") options.pauseBefore = given.value;
        if (given.name == "report" && given.value.empty()) {
            error = "--report needs a file name";
            return std::nullopt;
        }
    }
    options.simulate = parsed->Has("simulate");
    options.quick = parsed->Has("quick");
    options.json = parsed->Has("json");
    return options;
}

const char* CheckOptions::Usage() {
    return "Usage: kestrix-check [--camera N|GUID] [--simulate] [--quick] [--json] "
           "[--report FILE]\n"
           "Checks that an IIDC camera does what its registers say, and leaves it as it was.\n"
           "  --camera N|GUID  the camera to check (default 0)\n"
           "  --simulate       check the simulated camera of a private simulated bus\n"
           "  --quick          fewer frames per mode\n"
           "  --json           print the run as one JSON object instead of the lines\n"
           "  --report FILE    also write the run as JSON, with the camera and the machine, for a\n"
           "                   bug report\n"
           "  -h, --help       show this help and exit\n"
           "      --version    show the version and exit\n"
           "Exit status: 0 nothing failed, 1 a check failed, 2 bad arguments, 3 no camera,\n"
           "128 + N stopped by signal N (the camera is put back first).\n";
}
