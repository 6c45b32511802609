// A running stream of one camera as Python sees it: session::FrameStream's frames, each copied
// into a buffer of its own (a Frame that outlives the ring), the session's counters, and its end
// reasons as Python exceptions.
//
// Threading: Next, Close and the figures may be called from any thread; one Next at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

#include "python/src/FrameData.h"
#include "session/FrameStream.h"

namespace kxpy {

class CameraSession;

class FrameStream {
public:
    // Sets the camera's mode up and starts the capture and the transmission; throws on failure.
    FrameStream(std::shared_ptr<CameraSession> session, int buffers);
    ~FrameStream();  // closes
    FrameStream(const FrameStream&) = delete;
    FrameStream& operator=(const FrameStream&) = delete;

    // The next frame in order (newest: the newest one, skipping the rest), waiting up to timeout.
    // Throws Timeout, or the exception of the reason the stream ended; null once closed.
    std::shared_ptr<FrameData> Next(std::chrono::nanoseconds timeout, bool newest);
    // Stops the transmission and the capture and lets the session's stream go, which holds the
    // camera library open; frames handed out stay valid.
    void Close();
    bool IsClosed() const { return m_bClosed; }
    const FrameFormat& Format() const { return *m_pFormat; }
    std::shared_ptr<CameraSession> Session() const { return m_pSession; }
    // A recording takes the stream's frames (on) or gives them back (off); on returns the
    // session's stream, and throws when it is closed or recorded already.
    std::shared_ptr<kestrix::session::FrameStream> Recorded(bool on);
    // The session's counters (docs/session.md), as they stood at the close once closed.
    kestrix::session::StreamCounters Counters() const;

private:
    std::shared_ptr<kestrix::session::FrameStream> Stream() const;

    std::shared_ptr<CameraSession> m_pSession;
    mutable std::mutex m_streamLock;  // guards the three below
    std::shared_ptr<kestrix::session::FrameStream> m_pStream;  // until closed
    kestrix::session::StreamCounters m_closedCounters;
    kestrix::session::Error m_closedReason;
    std::shared_ptr<const FrameFormat> m_pFormat;
    std::shared_ptr<FramePool> m_pPool;
    std::mutex m_closeLock;  // one Close at a time
    std::atomic<bool> m_bClosed{false};
    std::atomic<bool> m_bRecorded{false};
};

}  // namespace kxpy
