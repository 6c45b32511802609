// Opening, connecting and reading one camera for kestrixsrc.
#include "gst/CameraSession.h"

#include <algorithm>

#include "camera/CameraFeatures.h"
#include "platform/Log.h"

namespace {

constexpr int kSpeedS400 = 2;
constexpr int kSyncFlag = 0x02;
constexpr std::uint32_t kWaitStepMs = 50;
constexpr auto kNoticeGrace = std::chrono::seconds(1);

CameraSession::Error Failure(CameraSession::Fault fault, std::string message) {
    return {fault, std::move(message)};
}

}  // namespace

CameraSession::CameraSession() = default;

CameraSession::~CameraSession() { Close(); }

bool CameraSession::Open(const Which& which, const std::vector<std::string>& settings,
                         Error& error) {
    Close();
    m_pThread = std::make_unique<CameraOwnerThread>();
    if (!m_pThread->IsOpen()) {
        error = Failure(Fault::Failed, "the camera library could not be opened");
        Close();
        return false;
    }
    if (m_pThread->Call([&](C1394Dcam& cam) {
            m_pCam = &cam;
            return OpenOnThread(which, settings, error);
        }))
        return true;
    Close();
    return false;
}

bool CameraSession::OpenOnThread(const Which& which, const std::vector<std::string>& settings,
                                 Error& error) {
    if (!FindCamera(which, error)) return false;
    std::string why;
    switch (m_claim.Take(m_identity.path, m_identity.guid.value_or(0), why)) {
        case CameraLock::Result::Taken:
            break;
        case CameraLock::Result::InUse:
            error = Failure(Fault::InUse, "the camera is in use by another program");
            return false;
        case CameraLock::Result::Failed:
            error = Failure(Fault::Failed, why);
            return false;
    }
    CameraFeatures features(*m_pCam, m_identity.index);
    for (const std::string& setting : settings) {
        const CameraFeatures::Outcome outcome = features.Set(setting);
        if (outcome.status != CameraFeatures::Status::Ok) {
            error = Failure(
                outcome.status == CameraFeatures::Status::Refused ? Fault::Settings : Fault::Failed,
                outcome.message);
            return false;
        }
    }
    m_offers = ReadOffers(*m_pCam, m_identity.index);
    if (m_offers.empty()) {
        error = Failure(Fault::Failed, "the camera does not answer with its modes");
        return false;
    }
    return true;
}

bool CameraSession::FindCamera(const Which& which, Error& error) {
    const std::vector<CameraIdentity> cameras = ListCameras(*m_pCam);
    if (cameras.empty()) {
        error = Failure(Fault::NotFound, "no camera found (is kestrix-busd running?)");
        return false;
    }
    if (!which.guid.empty()) {
        const auto guid = ParseGuid(which.guid);
        const auto found = std::find_if(cameras.begin(), cameras.end(),
                                        [&](const CameraIdentity& c) { return c.guid == guid; });
        if (!guid || found == cameras.end()) {
            error = Failure(Fault::NotFound, "no camera with GUID " + which.guid + " on the bus");
            return false;
        }
        m_identity = *found;
        return true;
    }
    if (which.camera < 0 || which.camera >= int(cameras.size())) {
        error = Failure(Fault::NotFound, "no camera " + std::to_string(which.camera) +
                                             ": the bus has " + std::to_string(cameras.size()));
        return false;
    }
    m_identity = cameras[std::size_t(which.camera)];
    return true;
}

bool CameraSession::Start(const ModeOffer& offer, int rateIndex, const Format7Region& region,
                          int ringSlots, int lendSlots, Error& error) {
    if (!m_pThread) {
        error = Failure(Fault::Failed, "the camera is not open");
        return false;
    }
    return m_pThread->Call(
        [&](C1394Dcam&) {
            return StartOnThread(offer, rateIndex, region, ringSlots, lendSlots, error);
        });
}

bool CameraSession::StartOnThread(const ModeOffer& offer, int rateIndex,
                                  const Format7Region& region, int ringSlots, int lendSlots,
                                  Error& error) {
    const int camera = m_identity.index;
    const CameraModes::Mode& mode = offer.mode;
    m_pCam->StopTransmission(camera);
    const C1394Dcam::Rect area{region.left, region.top, region.left + region.width - 1,
                               region.top + region.height - 1};
    const bool set = mode.Format7()
                         ? m_pCam->SetFormat7Mode(camera, mode.modeIndex, mode.colorCoding, &area)
                         : m_pCam->SetVideoMode(camera, mode.modeIndex, rateIndex, false);
    if (!set) {
        error = Failure(Fault::Settings,
                        "the camera refused " + mode.name +
                            (mode.Format7() ? " at " + std::to_string(region.width) + "x" +
                                                  std::to_string(region.height)
                                            : std::string()));
        return false;
    }
    if (!m_pCam->StartCapture(camera, kSpeedS400, kSyncFlag, ringSlots)) {
        error = Failure(Fault::Failed, "the capture of " + mode.name +
                                           " did not start (KESTRIX_LOG=capture:info shows why)");
        return false;
    }
    m_bCapturing = true;
    CDcamCaptureThread* thread = m_pCam->GetCaptureThread(camera);
    std::shared_ptr<FrameRing> ring = thread != nullptr ? thread->Ring() : nullptr;
    if (!ring) {
        error = Failure(Fault::Failed, "the capture has no frame ring");
        return false;
    }
    // Without the spares' memory every frame is copied: slower, but nothing is lost.
    if (lendSlots > 0 && !ring->AddSpares(lendSlots)) {
        KX_LOG(Capture, Warn) << "no memory for " << lendSlots << " spare frames: copying all";
    }
    m_nSlotBytes = ring->GetSlotSize();
    m_nFrameBytes = std::uint32_t(std::max(0, m_pCam->GetFrameBytes(camera)));
    m_nNextIndex = 0;
    m_nFrames = m_nDropped = m_nLost = m_nBytes = m_nLent = 0;
    m_atStart = CaptureCounters::Read(*ring);
    m_failureSeen = {};
    m_nBusResetsAtStart = m_pThread->BusResets();
    m_nDeviceChangesAtStart = m_pThread->DeviceChanges();
    {
        std::scoped_lock lock(m_ringLock);
        m_pRing = std::move(ring);
    }
    if (!m_pCam->StartTransmission(camera, 0)) {
        error = Failure(Fault::Failed, "the camera does not start transmitting");
        return false;
    }
    return true;
}

std::shared_ptr<FrameRing> CameraSession::Ring() const {
    std::scoped_lock lock(m_ringLock);
    return m_pRing;
}

void CameraSession::Interrupt(bool on) {
    m_bInterrupted = on;
    if (const auto ring = Ring(); on && ring) ring->WakeWaiter();
}

bool CameraSession::BusReset() const { return m_pThread->BusResets() != m_nBusResetsAtStart; }

bool CameraSession::DeviceChanged() const {
    return m_pThread->DeviceChanges() != m_nDeviceChangesAtStart;
}

bool CameraSession::Ended(const CaptureCounters& now, Error& error) {
    if (DeviceChanged()) {
        error =
            Failure(Fault::Unplugged, "the camera was unplugged (the devices on the bus changed)");
        return true;
    }
    // An unplug fails the reads and resets the bus before its own notice arrives: that notice
    // gets a moment to name the cause.
    const bool readsFailed = now.readErrors != m_atStart.readErrors;
    const bool busReset = BusReset();
    if (!busReset && !readsFailed) return false;
    const auto seen = std::chrono::steady_clock::now();
    if (m_failureSeen == std::chrono::steady_clock::time_point{}) m_failureSeen = seen;
    if (seen - m_failureSeen < kNoticeGrace) return false;
    error = busReset ? Failure(Fault::BusReset, "a bus reset interrupted the stream")
                     : Failure(Fault::Failed,
                               "reading frames from the camera failed (the bus "
                               "driver reported an error, or it is gone)");
    return true;
}

template <typename TakeFn>
CameraSession::Next CameraSession::Take(TakeFn take, FrameInfo& info, Error& error) {
    const std::shared_ptr<FrameRing> ring = Ring();
    if (!ring) {
        error = Failure(Fault::Failed, "the capture is not running");
        return Next::Failed;
    }
    for (;;) {
        if (m_bInterrupted) return Next::Interrupted;
        const CaptureCounters now = CaptureCounters::Read(*ring);
        if (Ended(now, error)) return Next::Failed;
        const std::uint64_t stored = now.stored - m_atStart.stored;
        const auto slots = std::uint64_t(ring->GetSlotCount());
        if (slots != 0 && stored > m_nNextIndex) {
            // Frame i sits in slot i modulo the slot count until the ring comes round again.
            const std::uint64_t index =
                std::max(m_nNextIndex, stored > slots ? stored - slots : std::uint64_t{0});
            const std::uint64_t absolute = m_atStart.stored + index;
            switch (take(ring, int(absolute % slots), std::uint16_t(absolute), info)) {
                case Took::Frame: {
                    const std::uint64_t lost = now.lost - m_atStart.lost;
                    info.dropped = index - m_nNextIndex;
                    info.lost = lost - m_nLost;
                    info.offset = index + lost;
                    m_nNextIndex = index + 1;
                    m_nDropped += info.dropped;
                    m_nLost += info.lost;
                    ++m_nFrames;
                    m_nBytes += m_nFrameBytes;
                    return Next::Frame;
                }
                case Took::NoSpare:
                    return Next::NoSpare;
                case Took::Overwritten:
                    continue;  // while we looked: the next look finds a newer one
                case Took::Emptied:
                    break;  // a failed read emptied the ring
            }
        }
        ring->WaitForFrame(kWaitStepMs);
    }
}

CameraSession::Next CameraSession::NextFrame(std::span<std::uint8_t> dst, FrameInfo& info,
                                             Error& error) {
    return Take(
        [&](const std::shared_ptr<FrameRing>& ring, int slot, std::uint16_t wanted,
            FrameInfo& frame) {
            std::uint16_t sequence = 0;
            if (!ring->Copy(dst.data(), dst.size(), slot, nullptr, &sequence, &frame.arrival))
                return Took::Emptied;
            return sequence == wanted ? Took::Frame : Took::Overwritten;
        },
        info, error);
}

CameraSession::Next CameraSession::LendFrame(LentFrame& lent, FrameInfo& info, Error& error) {
    const Next next = Take(
        [&](const std::shared_ptr<FrameRing>& ring, int slot, std::uint16_t wanted,
            FrameInfo& frame) {
            if (auto loan = ring->Lend(slot, wanted)) {
                lent = {ring, *loan};
                frame.arrival = loan->arrival;
                return Took::Frame;
            }
            if (!ring->HasFrame()) return Took::Emptied;
            return ring->GetSequence(slot) == wanted ? Took::NoSpare : Took::Overwritten;
        },
        info, error);
    if (next == Next::Frame) ++m_nLent;
    return next;
}

CameraSession::Figures CameraSession::GetFigures() const {
    return {m_nFrames, m_nDropped, m_nLost, m_nBytes, m_nLent};
}

void CameraSession::Stop() {
    if (m_pThread && m_pThread->IsOpen()) m_pThread->Call([this](C1394Dcam&) { StopOnThread(); });
}

void CameraSession::StopOnThread() {
    if (!m_bCapturing) return;
    m_bCapturing = false;
    const int camera = m_identity.index;
    // After an unplug the capture is gone already and the camera may be too.
    if (!DeviceChanged()) m_pCam->StopTransmission(camera);
    m_pCam->StopCapture(camera);
}

void CameraSession::Close() {
    if (!m_pThread) return;
    if (m_pThread->IsOpen()) m_pThread->Call([this](C1394Dcam&) { CloseOnThread(); });
    m_pThread.reset();
    std::scoped_lock lock(m_ringLock);
    m_pRing.reset();
}

void CameraSession::CloseOnThread() {
    if (!m_pCam) return;
    StopOnThread();
    m_pCam = nullptr;
    m_claim.Release();
    m_offers.clear();
}
