// What kestrix-check changes on a camera, as it found it: every feature's control register and
// absolute value (the trigger among them), the video format, mode and rate, the ISO channel
// and speed, the current Format 7 mode's image registers. Restore puts them back and leaves
// transmission off, also when the run was interrupted.
//
// Threading: the camera object's owner thread only, like every register access.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "camera/C1394Dcam.h"
#include "camera/FeatureAccess.h"

class CameraSnapshot {
public:
    using DWORD = C1394Dcam::DWORD;

    // False when a register the snapshot needs cannot be read: nothing may be changed then.
    bool Take(C1394Dcam& cam, int camera);
    // Puts back what Take read; the names of the registers that did not take their value.
    std::vector<std::string> Restore(C1394Dcam& cam, int camera) const;

private:
    struct Feature {
        bool present = false;
        DWORD control = 0;
        std::optional<float> absolute;  // restored when the camera took absolute control
    };
    std::array<Feature, FeatureAccess::kFeatureCount> m_features{};
    DWORD m_format = 0, m_mode = 0, m_rate = 0, m_isoChannel = 0;
    // The current Format 7 mode's image position, size, colour coding and packet size.
    std::vector<std::pair<DWORD, DWORD>> m_format7;
    bool m_taken = false;
};
