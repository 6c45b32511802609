// What --list prints: every camera on the bus with the video modes and frame rates it offers,
// as its inquiry registers tell them.
#pragma once

#include <cstdio>

#include "camera/C1394Dcam.h"

class CameraListing {
public:
    // Prints the cameras of cam's table to out; returns how many there are.
    static int Print(C1394Dcam& cam, std::FILE* out);

private:
    static void PrintFixedModes(C1394Dcam& cam, int camera, std::FILE* out);
    static void PrintFormat7Modes(C1394Dcam& cam, int camera, std::FILE* out);
};
