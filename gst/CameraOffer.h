// What a camera offers a GStreamer pipeline: each mode with its frame rates, and the camera's
// identity (index, unit path, GUID). Read from the inquiry registers and the configuration ROM
// only, so a device monitor may probe a camera that another program records from.
//
// Threading: the camera object's owner thread, like every register access.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "camera/C1394Dcam.h"
#include "camera/CameraModes.h"
#include "camera/Format7Geometry.h"

struct Fraction {
    int num = 0;
    int den = 1;
};

struct ModeOffer {
    CameraModes::Mode mode;
    // Fixed modes: the rate indexes the camera offers, fastest first. Format 7: empty.
    std::vector<int> rateIndexes;
    // Format 7: the sizes, positions and packets the camera takes.
    std::optional<Format7Geometry> format7;

    static Fraction RateOf(int rateIndex);
    // Format 7: whether the camera takes a frame of that size (on its size grid, on the sensor).
    bool Fits(int width, int height) const;
    // Format 7: the rate of frames of that size sent in the largest packets, one packet per
    // 125 us cycle (the packet size sets the rate, not a rate register); 0/1 without a geometry.
    Fraction Format7Rate(int width, int height) const;
    // Format 7: a region of that size centred on the sensor, its corner on the position grid.
    Format7Region Centred(int width, int height) const;
};

struct CameraIdentity {
    int index = -1;
    std::string path;
    std::uint32_t vendor = 0;
    std::optional<std::uint64_t> guid;

    // 16 hex digits, or empty without a GUID.
    std::string GuidText() const;
};

// Every mode of the camera that a pipeline can take (RGB 16 has no raw video format).
std::vector<ModeOffer> ReadOffers(C1394Dcam& cam, int camera);
std::vector<CameraIdentity> ListCameras(C1394Dcam& cam);
// "0x0001A2C3D4E5F607", "0001a2c3d4e5f607": the GUID; empty for anything else.
std::optional<std::uint64_t> ParseGuid(const std::string& text);
