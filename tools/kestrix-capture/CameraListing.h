// What --list prints: every camera on the bus with the video modes and frame rates it offers,
// named as --mode takes them. It claims no camera, so it lists one that another program records.
#pragma once

#include <string>

#include "session/CameraManager.h"

class CameraListing {
public:
    // Appends the listing of the cameras on the bus to out; returns how many there are.
    static int Print(kestrix::session::CameraManager& manager, std::string& out);
};
