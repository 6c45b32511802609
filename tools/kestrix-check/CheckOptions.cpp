// Parsing kestrix-check's options.
#include "tools/kestrix-check/CheckOptions.h"

#include "common/CommandLine.h"

namespace {

constexpr CommandLine::Option kOptions[] = {
    {"camera", true}, {"simulate"}, {"model", true}, {"quick"},
    {"json"},         {"report", true}, {"pause-before", true},
};

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
        if (given.name == "camera") {
            const auto pick = kestrix::session::CameraPick::Parse(given.value);
            if (!pick) {
                error = "--camera takes a camera number or a GUID of 16 hex digits";
                return std::nullopt;
            }
            options.camera = *pick;
        }
        if (given.name == "report") options.report = given.value;
        if (given.name == "model") options.model = given.value;
        if (given.name == "pause-before") options.pauseBefore = given.value;
        if (given.name == "report" && given.value.empty()) {
            error = "--report needs a file name";
            return std::nullopt;
        }
    }
    options.simulate = parsed->Has("simulate");
    options.quick = parsed->Has("quick");
    options.json = parsed->Has("json");
    if (!options.model.empty() && !options.simulate) {
        error = "--model chooses the simulated camera: it goes with --simulate";
        return std::nullopt;
    }
    return options;
}

const char* CheckOptions::Usage() {
    return "Usage: kestrix-check [--camera N|GUID] [--simulate [--model NAME]] [--quick] [--json]\n"
           "                     [--report FILE]\n"
           "Checks that an IIDC camera does what its registers say, and leaves it as it was.\n"
           "  --camera N|GUID  the camera to check (default 0)\n"
           "  --simulate       check the simulated camera of a private simulated bus\n"
           "  --model NAME     the simulated camera's model: kx1360 (default) or generic\n"
           "  --quick          3 frames per mode instead of 10, 2 triggers instead of 5\n"
           "  --json           print the run as one JSON object instead of the lines\n"
           "  --report FILE    also write the run as JSON, with the camera and the machine, for a\n"
           "                   bug report\n"
           "  -h, --help       show this help and exit\n"
           "      --version    show the version and exit\n"
           "Exit status: 0 nothing failed, 1 a check failed, 2 bad arguments, 3 no camera,\n"
           "128 + N stopped by signal N (the camera is put back first).\n";
}
