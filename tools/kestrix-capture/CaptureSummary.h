// kestrix-capture's summary of one run: the figures, files and features it ends with, as one
// line ("frames=N dropped=D fps=F lost=L short=S", with --verify-counter " gaps=G") or as one
// JSON object (--json). lost, short and the read errors are the session's counters
// (docs/session.md); dropped is the recorder's.
#pragma once

#include <cstdint>
#include <optional>
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
    std::uint64_t shortFrames = 0;
    std::uint64_t readErrors = 0;
    std::optional<std::uint64_t> counterGaps;                // --verify-counter
    std::vector<std::pair<std::string, std::string>> files;  // ("avi", path) in order asked
    CameraFeatures::Values features;
    std::string exitReason;
    int exitStatus = 0;

    std::string Line() const;
    std::string Json() const;
    // The figures alone: "frames=N ... short=S [gaps=G]" and the JSON members from "frames" to
    // "read_errors" (and "counter_gaps"), as a run of several cameras gives them per camera.
    std::string FiguresLine() const;
    std::string FiguresJson() const;
    // The JSON members of files, as "files":{...}.
    static std::string FilesJson(const std::vector<std::pair<std::string, std::string>>& files);
};
