// Sampling the viewer's figures.
#include "app/StatisticsSampler.h"

#include <QFileInfo>
#include <QStorageInfo>

#include "app/CameraSession.h"
#include "app/DisplayPipeline.h"

const ViewerStatistics& StatisticsSampler::Sample(CameraSession& session,
                                                  DisplayPipeline& pipeline,
                                                  Clock::time_point now) {
    const CameraSession::State& state = session.Now();
    ViewerStatistics s;
    s.connected = state.m_bConnected;
    if (!s.connected) {
        m_last = s;
        return m_last;
    }
    s.mode = session.ModeText();
    s.modeFps = session.ModeFps();
    const CameraSession::CaptureCounters counters = session.Counters();
    s.received = counters.received;
    s.lost = counters.lost;
    s.shortFrames = counters.shortFrames;
    s.dropped = counters.dropped;
    s.shown = pipeline.FramesShown();
    const SentTimeMeter::Figures sent = pipeline.SentTimes().Take();
    s.lastSentUtcNs = sent.lastSentUtcNs;
    s.sentIntervalUs = sent.meanIntervalUs;
    s.sentSpreadUs = sent.spreadUs;
    s.recording = state.m_bAviOpen;
    if (s.recording) {
        const QFileInfo file(state.m_strAviPath);
        s.file = file.fileName();
        s.recordedFrames = counters.recorded;
        s.fileBytes = file.size();
        const QStorageInfo disk(file.absolutePath());
        s.freeBytes = disk.isValid() ? disk.bytesAvailable() : -1;
        s.lowSpace = s.freeBytes >= 0 && s.freeBytes < ViewerStatistics::kLowSpace;
    }
    const double seconds = std::chrono::duration<double>(now - m_lastTime).count();
    if (m_last.connected && seconds > 0 && s.received >= m_last.received) {
        s.receivedFps = double(s.received - m_last.received) / seconds;
        s.receivedMBps = s.receivedFps * double(session.FrameBytes()) / 1e6;
        s.recordingSeconds = m_last.recordingSeconds;
        if (s.recording && m_last.recording && m_last.file == s.file) {
            if (state.m_bAviRecording) s.recordingSeconds += seconds;
            s.writeMBps = double(std::max<std::int64_t>(s.fileBytes - m_last.fileBytes, 0)) /
                          seconds / 1e6;
        } else {
            s.recordingSeconds = 0;
        }
    }
    m_last = s;
    m_lastTime = now;
    return m_last;
}
