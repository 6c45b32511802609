// kestrix-busctl: sends one command to the kestrix-busd serving a device directory and prints
// its answer.
#include <cstdio>
#include <span>
#include <string>

#include "platform/DeviceDirectory.h"
#include "simbus/ControlProtocol.h"
#include "common/CommandLine.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void PrintUsage() {
    std::printf(
        "usage: kestrix-busctl [--dir DIR] COMMAND [ARGUMENTS]\n"
        "\n"
        "Sends one command to the kestrix-busd serving the device directory and prints its\n"
        "answer. --dir may stand anywhere on the line; words after -- are the command's.\n"
        "\n"
        "  --dir DIR      the bus's device directory (default: KESTRIX_BUS_DIR, else the\n"
        "                 per-user directory)\n"
        "  -h, --help     show this help and exit\n"
        "      --version  show the version and exit\n"
        "\n"
        "commands:\n%s\n"
        "Exit status: 0 done, 1 the daemon reported an error or none is running, 2 bad\n"
        "arguments or an unknown command.\n",
        std::string(simbus::ControlProtocol::Commands()).c_str());
}

int Fail(int status, const std::string& message) {
    std::fprintf(stderr, "kestrix-busctl: %s\n", message.c_str());
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    static constexpr CommandLine::Option kOptions[] = {{"dir", true}};
    std::string error;
    const auto parsed = CommandLine::Parse(std::span<char* const>(argv + 1, std::size_t(argc - 1)),
                                           kOptions, CommandLine::Operands::Command, error);
    if (!parsed) return Fail(kExitUsage, error);
    if (parsed->help) {
        PrintUsage();
        return 0;
    }
    if (parsed->version) {
        std::puts(CommandLine::VersionLine("kestrix-busctl").c_str());
        return 0;
    }
    if (parsed->operands.empty()) return Fail(kExitUsage, "no command given (see --help)");
    std::filesystem::path dir = platform::DeviceDirectory::Path();
    for (const CommandLine::Given& given : parsed->options) {
        if (given.value.empty()) return Fail(kExitUsage, "bad value '' for --dir (a folder)");
        dir = given.value;  // the last one counts
    }

    std::string line;
    for (const std::string& word : parsed->operands) {
        if (!line.empty()) line += ' ';
        line += word;
    }
    // Checked here too, so that a mistyped command is told apart from a missing daemon.
    if (!simbus::ControlProtocol::Parse(line, error))
        return Fail(kExitUsage, error + " (see --help)");
    std::string output;
    if (!simbus::ControlProtocol::Exchange(dir, line, output, error))
        return Fail(kExitFailed, error);
    std::fputs(output.c_str(), stdout);
    return 0;
}
