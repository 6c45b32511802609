// Reads several FrameStreams and hands out frame sets: one frame of each camera whose cycle
// times lie within half a frame period. A camera that has no frame there makes the set
// incomplete, and is counted as having lost it.
//
// Sets are formed around the earliest frame the streams hold: a camera whose next frame lies
// later by more than half a period missed that set, and its frame waits for the next one, so
// one lost frame makes one incomplete set. Until every stream has sent its first frame no set
// is formed, and frames older than the last stream's first are passed over: cameras started
// in different cycles pair from the first frame they all have. Cycle times wrap every 128 s;
// each frame is placed nearest to the last set, so only a gap of over 64 s misplaces one.
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
    // A stream's next frame, not yet in a set.
    struct Head {
        bool held = false;
        FrameMetadata meta;
        std::vector<std::uint8_t> bytes;
        std::int64_t cycles = 0;  // its cycle time counted from the anchor's origin
    };
    FrameStream::Status Fill(std::chrono::milliseconds timeout);
    FrameStream::Status Read(std::size_t stream, std::chrono::steady_clock::time_point deadline,
                             bool withoutLimit);
    // Passes over the frames older than the last stream's first; true once the heads align.
    bool Align();
    void Hand(FrameSet& set);
    std::int64_t Unwrap(std::uint32_t cycleTime);

    std::vector<std::shared_ptr<FrameStream>> m_streams;
    double m_periodCycles;
    // Next's thread.
    std::vector<Head> m_heads;
    bool m_bAligned = false;
    bool m_bAnchored = false;
    std::int64_t m_nAnchor = 0;  // cycles of the last set formed (or the first frame read)
    std::uint64_t m_nSets = 0;
    mutable std::mutex m_countersLock;
    Counters m_counters;
};

}  // namespace kestrix::session
