// kestrix-capture's summary of one run: the figures, files and features it ends with, as one
// line ("frames=N dropped=D fps=F lost=L") or as one JSON object (--json).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "camera/CameraFeatures.h"

struct CaptureSummary {
    std::uint64_t frames = 0;
    std::uint64_t dropped = 0;
    double fps = 0;
    std::uint64_t bytes = 0;
    std::uint64_t lost = 0;
    std::vector<std::pair<std::string, std::string>> files;  // ("avi", path) in order asked
    CameraFeatures::Values features;
    std::string exitReason;
    int exitStatus = 0;

    std::string Line() const;
    std::string Json() const;
};
