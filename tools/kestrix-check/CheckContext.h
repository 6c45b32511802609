// What every check of a kestrix-check run works on: the camera, the report its lines go to, the
// --quick choice and the flag a Ctrl+C sets, which every check looks at between its steps.
#pragma once

#include <atomic>
#include <csignal>

#include "camera/C1394Dcam.h"
#include "tools/kestrix-check/CheckReport.h"

struct CheckContext {
    C1394Dcam& cam;
    int camera;
    CheckReport& report;
    bool quick;
    const std::atomic<int>& stopSignal;

    bool Stopped() const { return stopSignal != 0; }
};
