// One camera's memory channels: how many it has, which one its settings came from, saving the
// current settings into one and loading one (channel 0 holds the factory settings).
//
// Threading: the camera object's owner thread only, like every register access.
#pragma once

#include "camera/C1394Dcam.h"

class MemoryChannels {
public:
    using DWORD = C1394Dcam::DWORD;
    MemoryChannels(C1394Dcam& cam, int camera) : m_cam(cam), m_nCamera(camera) {}

    // The highest user channel (0: none), or -1 when the inquiry cannot be read.
    int Count();
    // The channel the settings were last loaded from, or -1.
    int Current();
    // Channels 1..Count(); the camera refuses others.
    bool Save(int channel);
    // Channels 0..Count().
    bool Load(int channel);

private:
    C1394Dcam& m_cam;
    int m_nCamera;
};
