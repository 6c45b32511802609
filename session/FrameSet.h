// One frame of each camera of a group, taken in the same bus cycles.
#pragma once

#include <cstdint>
#include <vector>

#include "session/FrameMetadata.h"

namespace kestrix::session {

struct FrameSet {
    struct Member {
        bool present = false;  // false: that camera's frame of this set was lost
        FrameMetadata meta;
        std::vector<std::uint8_t> bytes;  // the frame (FrameStream::SlotBytes long)
    };
    std::uint64_t index = 0;      // sets handed out before this one, complete or not
    std::uint32_t cycleTime = 0;  // the first present member's cycle time
    std::vector<Member> members;  // one per camera, in the group's order
    // The largest distance between the present members' cycle times, in cycles.
    std::uint32_t skewCycles = 0;

    bool Complete() const;
};

}  // namespace kestrix::session
