// What the frames' sent times show between two samples of the statistics: the last frame's sent
// time and the spread of the intervals between the frames' sent times, per frame period (the
// display skips frames, so an interval is divided by the frames it spans).
//
// Threading: Observe on the display thread, Take on the GUI thread.
#pragma once

#include <cstdint>
#include <mutex>

#include "session/FrameMetadata.h"

class SentTimeMeter {
public:
    struct Figures {
        std::int64_t lastSentUtcNs = 0;  // 0: no frame mapped
        double meanIntervalUs = 0;       // 0: fewer than two mapped frames
        double spreadUs = 0;             // largest less smallest interval
    };

    void Observe(const kestrix::session::FrameMetadata& meta);
    // The figures since the last Take; the intervals start afresh.
    Figures Take();
    void Reset();

private:
    std::mutex m_lock;  // guards everything below
    std::int64_t m_lastSentNs = 0;
    std::uint64_t m_lastSequence = 0;
    std::int64_t m_lastSentUtcNs = 0;
    double m_sumUs = 0, m_minUs = 0, m_maxUs = 0;
    std::uint64_t m_intervals = 0;
};
