// The capture's counters as kestrixsrc reports them. This is the one place that reads the
// camera library's counters, so that further ones (loss measured by other means) join here.
#pragma once

#include <cstdint>

#include "camera/FrameRing.h"

struct CaptureCounters {
    std::uint64_t stored = 0;      // frames stored in the ring
    std::uint64_t lost = 0;        // frames lost before the ring: reads that delivered nothing,
                                   // frame periods missing by the camera's cycle stamps, frames
                                   // that came short
    std::uint64_t readErrors = 0;  // failed reads: the capture stopped receiving

    static CaptureCounters Read(const FrameRing& ring) {
        const FrameRing::Stats stats = ring.GetStats();
        return {stats.stored, stats.lost + stats.shortFrames, stats.readErrors};
    }
};
