// The one set of frame counters every front end reports, each counted from the stream's start:
//   received   frames stored in the ring;
//   delivered  frames the stream's reader took (Next, Newest, Lend);
//   dropped    frames the ring overwrote before the reader came to them (not those Newest skips
//              on purpose);
//   lost       frames that never reached the ring: reads that delivered nothing, and the frame
//              periods a free-running camera's cycle stamps show missing;
//   shortFrames frames stored with fewer bytes than they have (delivered, flagged, not lost);
//   readErrors  reads that failed (the capture stopped receiving).
#pragma once

#include <cstdint>

namespace kestrix::session {

struct StreamCounters {
    std::uint64_t received = 0;
    std::uint64_t delivered = 0;
    std::uint64_t dropped = 0;
    std::uint64_t lost = 0;
    std::uint64_t shortFrames = 0;
    std::uint64_t readErrors = 0;
};

}  // namespace kestrix::session
