// Following the frames' sent times for the statistics.
#include "app/SentTimeMeter.h"

#include <algorithm>

void SentTimeMeter::Observe(const kestrix::session::FrameMetadata& meta) {
    std::scoped_lock lock(m_lock);
    if (meta.sentNs == 0) return;
    if (m_lastSentNs != 0 && meta.sequence > m_lastSequence) {
        const double us = double(meta.sentNs - m_lastSentNs) / 1e3 /
                          double(meta.sequence - m_lastSequence);
        m_minUs = m_intervals == 0 ? us : std::min(m_minUs, us);
        m_maxUs = m_intervals == 0 ? us : std::max(m_maxUs, us);
        m_sumUs += us;
        ++m_intervals;
    }
    m_lastSentNs = meta.sentNs;
    m_lastSequence = meta.sequence;
    m_lastSentUtcNs = meta.sentUtcNs;
}

SentTimeMeter::Figures SentTimeMeter::Take() {
    std::scoped_lock lock(m_lock);
    Figures figures{m_lastSentUtcNs, 0, 0};
    if (m_intervals != 0) {
        figures.meanIntervalUs = m_sumUs / double(m_intervals);
        figures.spreadUs = m_maxUs - m_minUs;
    }
    m_sumUs = m_minUs = m_maxUs = 0;
    m_intervals = 0;
    return figures;
}

void SentTimeMeter::Reset() {
    std::scoped_lock lock(m_lock);
    m_lastSentNs = m_lastSentUtcNs = 0;
    m_sumUs = m_minUs = m_maxUs = 0;
    m_intervals = 0;
}
