// kestrix-capture's summary of a run of several cameras: one line per camera ("camera N:
// frames=... short=S missing_sets=M") and one for the frame sets ("sets=N incomplete=K max_skew_cycles=S"),
// or one JSON object (--json) with an object per camera and one for the sets.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "session/StreamGroup.h"
#include "tools/kestrix-capture/CaptureSummary.h"

struct GroupSummary {
    struct Member {
        int camera = -1;  // index in the camera table
        std::uint64_t guid = 0;
        CaptureSummary figures;  // its figures and files; the rest unused
    };
    std::vector<Member> cameras;
    kestrix::session::StreamGroup::Counters sets;
    std::vector<std::pair<std::string, std::string>> files;  // the pattern and the sidecar
    std::string exitReason;
    int exitStatus = 0;

    std::string Line() const;
    std::string Json() const;
    // The sets the camera at that place of the group was missing from.
    std::uint64_t Missing(std::size_t member) const;
};
