// kestrix-capture --plan: the bus plan of the cameras with the mode and rate given, printed
// as a line per camera and a verdict (or JSON), without claiming or starting any camera.
#pragma once

#include "tools/kestrix-capture/CaptureOptions.h"

// The exit status: 0 when the cameras fit, kExitModeRefused with the planner's sentence on
// stderr when not, or the status of what went wrong before (no camera, a mode not offered).
int RunPlan(const CaptureOptions& options);
