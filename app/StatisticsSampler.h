// Samples the session's and the pipeline's counters into ViewerStatistics, with the rates over
// the time since the previous sample.
#pragma once

#include <chrono>

#include "app/ViewerStatistics.h"

class CameraSession;
class DisplayPipeline;

class StatisticsSampler {
public:
    using Clock = std::chrono::steady_clock;

    // A new sample; rates need a previous one of the same connection.
    const ViewerStatistics& Sample(CameraSession& session, DisplayPipeline& pipeline,
                                   Clock::time_point now = Clock::now());
    const ViewerStatistics& Last() const { return m_last; }
    // Forgets the previous sample (a new connection).
    void Reset() { m_last = {}; }

private:
    ViewerStatistics m_last;
    Clock::time_point m_lastTime;
};
