// What --list prints: every camera on the bus with the video modes and frame rates it offers,
// named as --mode takes them.
#pragma once

#include <string>

#include "camera/C1394Dcam.h"

class CameraListing {
public:
    // Appends the listing of the cameras of cam's table to out; returns how many there are.
    static int Print(C1394Dcam& cam, std::string& out);
};
