// One standard feature of a camera as a front end shows it: what the camera offers (modes, raw
// range, absolute range and unit) and where it stands now (raw value, absolute value, mode).
#pragma once

#include <optional>
#include <string>

#include "camera/C1394Dcam.h"
#include "camera/FeatureAccess.h"

namespace kestrix::session {

struct Feature {
    enum class Mode { Manual, Auto, OnePush, Off };

    std::string name;  // as kestrix-capture's --get and --set name it
    int number = -1;   // the feature's register number
    Mode mode = Mode::Manual;
    unsigned value = 0;  // raw; white balance: V/R, trigger: its mode
    unsigned high = 0;   // white balance: U/B
    std::optional<double> absolute;  // in unit, where the camera has absolute-value registers
    std::string unit;
    unsigned min = 0, max = 0;  // raw range
    std::optional<double> absoluteMin, absoluteMax;
    bool onePush = false, automatic = false, onOff = false;  // what the camera offers
    std::string text;  // as --get prints it: "2048 (33.33 ms)", "auto", "off"

    // The feature read from camera index camera; nothing when the camera lacks it. ok is false
    // when a register read failed.
    static std::optional<Feature> Read(C1394Dcam& cam, int camera, int number, bool& ok);
};

// The mode as every front end and the frame log name it: "manual", "auto", "one-push", "off".
const char* ModeName(Feature::Mode mode);

}  // namespace kestrix::session
