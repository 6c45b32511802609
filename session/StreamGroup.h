// Reads several FrameStreams and hands out frame sets: one frame of each camera whose cycle
// times lie within half a frame period. A camera that has no frame there makes the set
// incomplete, and is counted as having lost it.
//
// Threading: Next from one thread; Counters from any.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "session/FrameSet.h"
#include "session/FrameStream.h"

namespace kestrix::session {

class StreamGroup {
public:
    struct Counters {
        std::uint64_t sets = 0;        // handed out
        std::uint64_t incomplete = 0;  // with at least one camera missing
        std::vector<std::uint64_t> missing;  // per camera: sets it was missing from
        std::uint32_t maxSkewCycles = 0;
    };

    // periodCycles: the frame period in bus cycles (8000 a second), the same for every stream.
    StreamGroup(std::vector<std::shared_ptr<FrameStream>> streams, double periodCycles);

    // The next set; Timeout when no camera has a frame within timeout, Ended when a stream
    // ended (its EndReason says why), Interrupted on FrameStream::Interrupt.
    FrameStream::Status Next(FrameSet& set, std::chrono::milliseconds timeout);
    Counters GetCounters() const;
    const std::vector<std::shared_ptr<FrameStream>>& Streams() const { return m_streams; }

private:
    std::vector<std::shared_ptr<FrameStream>> m_streams;
    double m_periodCycles;
    mutable std::mutex m_countersLock;
    Counters m_counters;
};

}  // namespace kestrix::session
