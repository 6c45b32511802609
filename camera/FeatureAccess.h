// One camera's standard features as a front end needs them: what the inquiry registers offer
// (modes, raw range, and the absolute range and unit where the camera has absolute-value
// registers), the current state with the raw value and its real value side by side, and writes
// of either. The camera converts between the two: writing one and reading back gives the other.
//
// Threading: the camera object's owner thread only, like every register access.
#pragma once

#include <cstdint>
#include <optional>

#include "camera/C1394Dcam.h"

class FeatureAccess {
public:
    using DWORD = C1394Dcam::DWORD;
    // Feature numbers as ReadFeature counts them, and 17 for frame rate.
    static constexpr int kFeatureCount = 18;

    struct Offer {
        DWORD inquiry = 0;
        bool present = false;
        bool manual = false;
        bool automatic = false;
        bool onePush = false;
        bool onOff = false;
        bool readout = false;
        unsigned rawMin = 0;
        unsigned rawMax = 0;
        // Absolute-value registers, with their range in unit.
        bool absolute = false;
        float absoluteMin = 0;
        float absoluteMax = 0;
        const char* unit = "";
    };
    struct State {
        DWORD control = 0;
        bool on = false;
        bool automatic = false;
        bool absoluteControl = false;   // the camera takes the absolute value, not the raw one
        unsigned value = 0;             // white balance: V/R
        unsigned high = 0;              // white balance: U/B
        std::optional<float> absolute;  // when the camera has absolute-value registers
    };

    FeatureAccess(C1394Dcam& cam, int camera) : m_cam(cam), m_nCamera(camera) {}

    // False when a register read fails (or feature is out of range); an absent feature is a
    // successful read with present false.
    bool Inquire(int feature, Offer& offer);
    bool Read(int feature, State& state);
    // The control register as it stands (presence set).
    bool WriteControl(int feature, DWORD control);
    // Switches the feature on, to manual and to absolute control, and writes value in its unit.
    // The camera refuses a value out of its range; Read shows what it took.
    bool WriteAbsolute(int feature, float value);

private:
    // The byte offset from the command base of a field of feature's absolute block.
    bool AbsoluteOffset(int feature, DWORD field, DWORD& offset);
    bool ReadFloat(int feature, DWORD field, float& value);
    bool ReadControl(int feature, DWORD& control);

    C1394Dcam& m_cam;
    int m_nCamera;
};
