// kestrix-busctl: sends one command to the kestrix-busd serving a device directory and prints
// its answer.
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/DeviceDirectory.h"
#include "simbus/ControlProtocol.h"

namespace {

void PrintUsage(std::FILE* to) {
    std::fprintf(to,
                 "usage: kestrix-busctl [--dir DIR] COMMAND [ARGUMENTS]\n"
                 "  --dir DIR   the bus's device directory (default: KESTRIX_BUS_DIR, else\n"
                 "              the per-user directory)\n"
                 "commands:\n%s",
                 std::string(simbus::ControlProtocol::Commands()).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::filesystem::path dir;
    int first = 1;
    if (argc > 1 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
        PrintUsage(stdout);
        return 0;
    }
    if (argc > 2 && std::string_view(argv[1]) == "--dir") {
        dir = argv[2];
        first = 3;
    }
    if (first >= argc) {
        PrintUsage(stderr);
        return 2;
    }
    if (dir.empty()) dir = platform::DeviceDirectory::Path();

    std::string line;
    for (int i = first; i < argc; ++i) {
        if (i > first) line += ' ';
        line += argv[i];
    }
    // Checked here too, so that a mistyped command is told apart from a missing daemon.
    std::string error;
    if (!simbus::ControlProtocol::Parse(line, error)) {
        std::fprintf(stderr, "kestrix-busctl: %s\n", error.c_str());
        PrintUsage(stderr);
        return 2;
    }
    std::string output;
    if (!simbus::ControlProtocol::Exchange(dir, line, output, error)) {
        std::fprintf(stderr, "kestrix-busctl: %s\n", error.c_str());
        return 1;
    }
    std::fputs(output.c_str(), stdout);
    return 0;
}
