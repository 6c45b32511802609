// kestrix-check's command line: which camera, whether to bring the simulated bus, a quick run,
// and where the outcome goes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "session/CameraPick.h"

struct CheckOptions {
    kestrix::session::CameraPick camera;
    bool simulate = false;
    std::string model;       // the simulated camera's model; empty: the simulator's default
    bool quick = false;
    bool json = false;       // the whole run as one JSON object on stdout, no lines
    std::string report;      // the JSON object into this file too
    // Hidden, for tests: the run stops itself (SIGSTOP) before this check begins, so that a
    // fault can be armed at that very point.
    std::string pauseBefore;
    bool help = false;
    bool version = false;

    // Empty, with error set, for a line that does not hold.
    static std::optional<CheckOptions> Parse(std::span<char* const> args, std::string& error);
    static const char* Usage();
};
