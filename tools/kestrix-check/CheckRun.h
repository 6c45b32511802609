// One kestrix-check run: claims the camera through the session layer, notes what it and the
// machine are, takes the camera's settings, runs the checks in order, puts the settings back
// (also after Ctrl+C) and ends with the count, the JSON object and the report file.
#pragma once

#include <atomic>
#include <csignal>
#include <memory>
#include <string>

#include "session/Camera.h"
#include "tools/kestrix-check/CheckOptions.h"
#include "tools/kestrix-check/CheckReport.h"

class CheckRun {
public:
    CheckRun(const CheckOptions& options, const std::atomic<int>& stopSignal)
        : m_options(options), m_stopSignal(stopSignal) {}
    // The exit status: 0 nothing failed, 1 a check failed, 3 no such camera, 128 + N stopped by
    // signal N.
    int Run();

private:
    // The checks in order, then the restore.
    void RunChecks(kestrix::session::Camera& camera, CheckReport& report);
    void NoteMachine(CheckReport& report) const;
    // The closing count, the object and the file; false when one could not be written.
    bool Finish(const CheckReport& report);

    const CheckOptions& m_options;
    const std::atomic<int>& m_stopSignal;
};
