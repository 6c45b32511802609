// kestrix-capture's --trigger and --software-trigger-every: switches the camera's trigger for
// the run, fires the software trigger on time while frames are awaited, and puts the camera's
// own trigger setting back afterwards.
//
// Threading: the session's thread, like every register access; each runs inside Camera::Call.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "camera/CameraFeatures.h"
#include "camera/CameraTrigger.h"
#include "session/Camera.h"
#include "tools/kestrix-capture/CaptureOptions.h"

class CaptureTrigger {
public:
    using Clock = std::chrono::steady_clock;

    explicit CaptureTrigger(const CaptureOptions& options) : m_options(options) {}

    // Sets the trigger the options ask for (nothing when they ask for none), after checking it
    // against what the camera offers; the trigger setting is read in any case.
    CameraFeatures::Outcome Apply(kestrix::session::Camera& camera);
    // What the silence of a camera on its trigger means (" (the camera's trigger is on (mode
    // 0): it sends when triggered)"); empty when the camera runs free.
    std::string SilenceNote(kestrix::session::Camera& camera) const;
    // For a run on trigger, whose frames come only when triggered, so that no silence is a
    // failure and the time asked runs from the start: whether the run is over at now. Empty
    // for a run without a trigger.
    std::optional<bool> TriggeredRunEnds(Clock::time_point now, Clock::time_point started) const;
    // Fires the software trigger when its time has come; the first at once.
    void Tick(kestrix::session::Camera& camera, Clock::time_point now);
    // Puts back the setting Apply found, if it changed it.
    bool Restore(kestrix::session::Camera& camera);

private:
    CameraFeatures::Outcome Set(CameraTrigger& trigger);

    const CaptureOptions& m_options;
    CameraTrigger::Setting m_found;
    CameraTrigger::Setting m_now;
    bool m_bChanged = false;
    Clock::time_point m_nextFire{};
};
