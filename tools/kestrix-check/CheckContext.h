// What every check of a kestrix-check run works on: the camera, the report its lines go to, the
// --quick choice and the flag a Ctrl+C sets, which every check looks at between its steps.
#pragma once

#include <csignal>

#include "camera/C1394Dcam.h"
#include "tools/kestrix-check/CheckReport.h"

struct CheckContext {
    C1394Dcam& cam;
    int camera;
    CheckReport& report;
    bool quick;
    const volatile std::sig_atomic_t& stopSignal;

    bool Stopped() const { return stopSignal != 0; }
};
