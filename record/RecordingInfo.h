// What a recording's frame log says of the camera it came from, as the recording began.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "camera/Format7Geometry.h"
#include "session/CameraInfo.h"
#include "session/Feature.h"

namespace kestrix::record {

struct RecordingInfo {
    session::CameraInfo camera;
    std::string mode;  // as --list names it: 1360x1024-mono8
    double fps = 0;    // the mode's rate (Format 7: the one its packets give); 0 unknown
    std::optional<Format7Region> region;
    std::vector<session::Feature> features;
};

}  // namespace kestrix::record
