// One video mode a camera offers a front end, with its frame rates (fixed modes) or its sizes,
// positions and packets (Format 7). Read from the inquiry registers only, so a device monitor may
// probe a camera that another program records from.
//
// Threading: Read runs on the camera object's owner thread, like every register access.
#pragma once

#include <optional>
#include <vector>

#include "camera/C1394Dcam.h"
#include "camera/CameraModes.h"
#include "camera/Format7Geometry.h"
#include "session/Fraction.h"

namespace kestrix::session {

struct ModeOffer {
    CameraModes::Mode mode;
    // Fixed modes: the rate indexes the camera offers, fastest first. Format 7: empty.
    std::vector<int> rateIndexes;
    // Format 7: the sizes, positions and packets the camera takes.
    std::optional<Format7Geometry> format7;

    // Every mode of the camera that can stream: fixed modes with a rate whose packets the mode
    // table knows, Format 7 modes whose geometry reads back sound.
    static std::vector<ModeOffer> Read(C1394Dcam& cam, int camera);

    static Fraction RateOf(int rateIndex);
    // Format 7: whether the camera takes a frame of that size (on its size grid, on the sensor).
    bool Fits(int width, int height) const;
    // Format 7: the rate of frames of that size sent in the largest packets, one packet per
    // 125 us cycle (the packet size sets the rate, not a rate register); 0/1 without a geometry.
    Fraction Format7Rate(int width, int height) const;
    // Format 7: a region of that size centred on the sensor, its corner on the position grid.
    Format7Region Centred(int width, int height) const;
};

}  // namespace kestrix::session
