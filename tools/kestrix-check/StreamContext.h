// What the checks that stream work on: the claimed camera of the session layer, the report, the
// --quick choice and the flag a Ctrl+C sets.
#pragma once

#include <atomic>
#include <csignal>

#include "session/Camera.h"
#include "tools/kestrix-check/CheckReport.h"

struct StreamContext {
    kestrix::session::Camera& camera;
    CheckReport& report;
    bool quick;
    const std::atomic<int>& stopSignal;

    bool Stopped() const { return stopSignal != 0; }
    // Frames each mode streams before it is judged.
    int Frames() const { return quick ? 3 : 10; }
};
