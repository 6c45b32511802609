// Starting and stopping a camera's stream, and reading its frames in order.
#include "python/src/FrameStream.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "camera/FrameConverter.h"
#include "python/src/CameraSession.h"
#include "python/src/Errors.h"

namespace kxpy {
namespace {

constexpr int kSpeed400 = 2;
// Waits are cut into steps so that bus notices and a Close from another thread are seen.
constexpr auto kWaitStep = std::chrono::milliseconds(50);
// How long failed reads or a bus reset wait for a device-change notice that would explain them:
// an unplug fails the reads and resets the bus before its notice arrives.
constexpr auto kNoticeGrace = std::chrono::seconds(1);
constexpr auto kNoticePoll = std::chrono::milliseconds(10);

std::string Seconds(std::chrono::nanoseconds span) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", std::chrono::duration<double>(span).count());
    return text;
}

}  // namespace

FrameStream::FrameStream(std::shared_ptr<CameraSession> session, int buffers)
    : m_pSession(std::move(session)) {
    Start(buffers);
}

FrameStream::~FrameStream() { Close(); }

void FrameStream::Start(int buffers) {
    CameraOwnerThread& worker = m_pSession->Worker();
    m_nResets0 = worker.BusResets();
    m_nChanges0 = worker.DeviceChanges();
    worker.Call([&](C1394Dcam& cam) {
        const int camera = m_pSession->Index(cam);
        const CameraModes::Mode mode = m_pSession->Apply(cam, camera);
        auto format = std::make_shared<FrameFormat>();
        format->mode = mode.name;
        format->width = mode.width;
        format->height = mode.height;
        format->coding = mode.colorCoding;
        format->bayer = mode.bayer;
        format->frameBytes = FrameConverter::FrameBytes(mode.colorCoding, mode.width, mode.height);
        if (!cam.StartCapture(camera, kSpeed400, 0, buffers)) {
            throw Error("the camera could not start streaming " + mode.name +
                        ": the bus lacks the bandwidth or a channel, or refused the transfer "
                        "(KESTRIX_LOG=camera:info,bus:info shows why)");
        }
        m_pRing = cam.GetCaptureThread(camera)->Ring();
        format->slotBytes = m_pRing->GetSlotSize();
        m_pFormat = format;
        // Frames handed out and dropped soon come back; a ring's worth covers a steady reader.
        m_pPool = std::make_shared<FramePool>(format->slotBytes, std::size_t(buffers));
        // Nothing flows before the transmission starts, so these agree.
        const FrameRing::Stats stats = m_pRing->GetStats();
        m_nStored0 = stats.stored;
        m_nSequence0 = m_pRing->GetNextSequence();
        m_nLost0 = LostBeforeRing(stats);
        m_nReadErrors0 = stats.readErrors;
        if (!cam.StartTransmission(camera, 0)) {
            cam.StopCapture(camera);
            throw Error("the camera does not start transmitting");
        }
    });
}

void FrameStream::Close() {
    std::scoped_lock lock(m_closeLock);
    if (m_bClosed.exchange(true)) return;
    if (m_pRing) m_pRing->WakeWaiter();
    try {
        m_pSession->Worker().Call([this](C1394Dcam& cam) {
            const int camera = m_pSession->Index(cam);
            cam.StopTransmission(camera);
            cam.StopCapture(camera);
        });
    } catch (const Error&) {
        // The camera is closed or gone, and its capture with it.
    }
}

std::uint64_t FrameStream::LostBeforeRing(const FrameRing::Stats& stats) {
    // lost holds the reads that delivered nothing and the frame periods the cycle stamps miss.
    return stats.lost + stats.readErrors;
}

std::shared_ptr<FrameData> FrameStream::Next(std::chrono::nanoseconds timeout, bool newest) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (m_failure) std::rethrow_exception(m_failure);
        if (m_bClosed) return nullptr;
        const FrameRing::Stats stats = m_pRing->GetStats();
        CheckHealth(stats);
        const std::uint64_t stored = stats.stored - m_nStored0;
        if (stored > m_nNext) {
            if (auto frame = Take(stats, stored, newest)) return frame;
            continue;
        }
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            throw Timeout("no frame came from the camera within " + Seconds(timeout));
        }
        const auto step = std::min<Clock::duration>(left, kWaitStep);
        m_pRing->WaitForFrame(std::uint32_t(
            std::chrono::ceil<std::chrono::milliseconds>(step).count()));
    }
}

void FrameStream::CheckHealth(const FrameRing::Stats& stats) {
    CameraOwnerThread& worker = m_pSession->Worker();
    if (worker.DeviceChanges() != m_nChanges0 || worker.BusResets() != m_nResets0) {
        Fail(std::make_exception_ptr(BusResetError("a bus reset interrupted the stream")));
    }
    if (stats.readErrors != m_nReadErrors0) {
        Fail(std::make_exception_ptr(
            Error("reading frames from the camera failed (the bus driver reported an error, "
                  "or it is gone)")));
    }
    if (m_pRing->GetSlotCount() == 0) Fail(std::make_exception_ptr(Error("the capture ended")));
}

void FrameStream::Fail(std::exception_ptr fallback) {
    CameraOwnerThread& worker = m_pSession->Worker();
    const auto until = Clock::now() + kNoticeGrace;
    while (worker.DeviceChanges() == m_nChanges0 && Clock::now() < until) {
        std::this_thread::sleep_for(kNoticePoll);
    }
    m_failure = worker.DeviceChanges() != m_nChanges0
                    ? std::make_exception_ptr(DeviceChangedError(
                          "the devices on the bus changed (was the camera unplugged?)"))
                    : fallback;
    Close();
    std::rethrow_exception(m_failure);
}

std::shared_ptr<FrameData> FrameStream::Take(const FrameRing::Stats& stats, std::uint64_t stored,
                                             bool newest) {
    const auto slots = std::uint64_t(m_pRing->GetSlotCount());
    if (slots == 0) return nullptr;
    const std::uint64_t behind = stored - m_nNext;
    // Frames the ring overwrote before they were read, or that the caller chose to skip.
    const std::uint64_t skip = newest ? behind - 1 : (behind > slots ? behind - slots : 0);
    const std::uint64_t index = m_nNext + skip;
    const std::uint64_t back = stored - index;  // 1 .. slots
    const auto write = std::uint64_t(m_pRing->GetWriteIndex());
    const int slot = int((write + slots - back) % slots);

    auto frame = std::make_shared<FrameData>(m_pPool, m_pFormat);
    std::uint16_t sequence = 0;
    int copied = -1;
    if (!m_pRing->Copy(frame->Data(), m_pPool->Bytes(), slot, &copied, &sequence,
                       &frame->timestampNs) ||
        sequence != std::uint16_t(m_nSequence0 + index)) {
        return nullptr;
    }
    const std::uint64_t before = LostBeforeRing(stats) - m_nLost0;
    frame->lostBefore = (newest ? 0 : skip) + (before - m_nLostAccounted);
    frame->sequence = index + before;
    m_nLostAccounted = before;
    m_nNext = index + 1;
    ++m_nDelivered;
    m_nLost += frame->lostBefore;
    return frame;
}

}  // namespace kxpy
