// A running stream of one camera: its capture and transmission, and a reader that takes every
// frame out of the capture's ring in order, each into a buffer of its own, and tells what was
// lost on the way.
//
// The ring overwrites its oldest slot whatever readers do, so a reader that falls more than a
// ring behind has lost frames; those, and the frames the capture lost before the ring (reads that
// delivered nothing), are counted into the next frame's lostBefore.
//
// Threading: Next, Close and the figures may be called from any thread; one Next at a time.
// The ring is thread-safe and held by shared_ptr, so it stays readable whatever the capture does.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>

#include "camera/FrameRing.h"
#include "python/src/FrameData.h"

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
    // Throws Timeout, BusResetError, DeviceChangedError or Error; null once closed.
    std::shared_ptr<FrameData> Next(std::chrono::nanoseconds timeout, bool newest);
    // Stops the transmission and the capture; frames handed out stay valid.
    void Close();
    bool IsClosed() const { return m_bClosed; }
    const FrameFormat& Format() const { return *m_pFormat; }

    std::uint64_t Delivered() const { return m_nDelivered; }
    std::uint64_t Lost() const { return m_nLost; }

private:
    using Clock = std::chrono::steady_clock;

    void Start(int buffers);
    // Throws when the stream cannot go on: a bus event or failed reads.
    void CheckHealth(const FrameRing::Stats& stats);
    // Waits a moment for a device-change notice that would explain what was seen, then throws.
    [[noreturn]] void Fail(std::exception_ptr fallback);
    // Copies the frame at index; null when the writer overtook the copy (look again).
    std::shared_ptr<FrameData> Take(const FrameRing::Stats& stats, std::uint64_t stored,
                                    bool newest);
    // Frames the capture lost before they reached the ring. Every loss counter of the capture
    // is read here, and only here.
    static std::uint64_t LostBeforeRing(const FrameRing::Stats& stats);

    std::shared_ptr<CameraSession> m_pSession;
    std::shared_ptr<FrameRing> m_pRing;
    std::shared_ptr<const FrameFormat> m_pFormat;
    std::shared_ptr<FramePool> m_pPool;
    std::mutex m_closeLock;  // one Close at a time
    std::atomic<bool> m_bClosed{false};
    std::exception_ptr m_failure;  // why the stream ended, once it did (the reader's thread)

    // Where the capture stood when the stream began (the reader's thread from then on).
    std::uint64_t m_nStored0 = 0;
    std::uint16_t m_nSequence0 = 0;
    std::uint64_t m_nLost0 = 0;
    std::uint64_t m_nReadErrors0 = 0;
    std::uint64_t m_nResets0 = 0;
    std::uint64_t m_nChanges0 = 0;

    std::uint64_t m_nNext = 0;           // index among stored frames of the next frame to read
    std::uint64_t m_nLostAccounted = 0;  // LostBeforeRing already told in a frame
    std::atomic<std::uint64_t> m_nDelivered{0};
    std::atomic<std::uint64_t> m_nLost{0};
};

}  // namespace kxpy
