// One camera's trigger: what it offers (modes, sources, polarity, the software trigger), its
// setting, and the software trigger itself. While the trigger is on the camera sends a frame
// only when triggered, so a capture may wait without limit and a long gap loses nothing.
//
// Threading: the camera object's owner thread only, like every register access.
#pragma once

#include <cstdint>

#include "camera/C1394Dcam.h"

class CameraTrigger {
public:
    using DWORD = C1394Dcam::DWORD;
    static constexpr unsigned kSoftwareSource = 7;

    struct Offer {
        bool present = false;
        bool onOff = false;
        bool polarity = false;
        bool software = false;     // the software trigger register works (source 7)
        std::uint16_t modes = 0;   // bit n: mode n (0..15)
        std::uint8_t sources = 0;  // bit n: source n (0..3)
        bool HasMode(unsigned mode) const { return mode < 16 && (modes >> mode & 1); }
        bool HasSource(unsigned source) const {
            return source == kSoftwareSource ? software : source < 4 && (sources >> source & 1);
        }
    };
    struct Setting {
        bool on = false;
        unsigned mode = 0;       // 0..15
        unsigned source = 0;     // 0..3, or 7 for the software trigger
        bool polarity = false;   // true: active high
        unsigned parameter = 0;  // 0..4095 (mode 14 here: frames per trigger)
    };

    CameraTrigger(C1394Dcam& cam, int camera) : m_cam(cam), m_nCamera(camera) {}

    bool Inquire(Offer& offer);
    bool Read(Setting& setting);
    // Writes the setting; the caller checks it against the offer first.
    bool Write(const Setting& setting);
    // One software trigger: in mode 1 a pulse (asserted, then released), otherwise the
    // assertion, which the camera clears once its frames are out. A trigger that comes while
    // the camera is busy is ignored by it.
    bool Fire();
    // Whether the camera is still busy with the last software trigger.
    bool Busy(bool& busy);

private:
    C1394Dcam& m_cam;
    int m_nCamera;
};
