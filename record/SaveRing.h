// Writes the frames a stream's ring holds into one recording of any format, oldest first: all of
// them, or those that arrived in the last seconds before the newest. The stream may be running
// (frames overwritten meanwhile are left out and counted) or stopped.
//
// The ring keeps each frame's arrival, cycle time and 16-bit number, not the stream's metadata:
// the log's sequence is the frame's place among the frames the ring stored; its sent times are
// the stream's mapping of the cycle time, as a live recording's are.
//
// Threading: any thread but the stream's reader's; it blocks until the file is done.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "record/RecordingSetup.h"
#include "session/FrameStream.h"

namespace kestrix::record {

struct SaveRingResult {
    std::uint64_t frames = 0;       // written
    std::uint64_t overwritten = 0;  // gone from the ring before they could be copied
};

// progress(written, total) after each frame; returning false cancels (the file keeps what it
// has). lastSeconds 0: every frame held. False with error set when nothing is held or a write
// failed.
bool SaveRing(const session::FrameStream& stream, const RecordingSetup& setup, double lastSeconds,
              const std::function<bool(std::uint64_t, std::uint64_t)>& progress,
              SaveRingResult& result, std::string& error);

}  // namespace kestrix::record
