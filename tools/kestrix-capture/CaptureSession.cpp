// Connecting, recording, saving stills and releasing for kestrix-capture.
#include "tools/kestrix-capture/CaptureSession.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "bus/DriverCodes.h"
#include "bus/DriverRecords.h"
#include "camera/BusBandwidth.h"
#include "files/CameraFiles.h"
#include "platform/DeviceDirectory.h"
#include "platform/MessageQueue.h"
#include "tools/kestrix-capture/CameraListing.h"
#include "tools/kestrix-capture/ExitCodes.h"
#include "tools/kestrix-capture/ProgressLine.h"

namespace {

namespace fs = std::filesystem;

constexpr int kMinRingFrames = 5;
// A recorder's ring rides out a disk that stalls this long; the viewer's holds a history.
constexpr double kRecorderRingSeconds = 2;
// The share of free memory a ring never exceeds unless --buffer-percent asks for more.
constexpr int kDefaultPercent = 50;
constexpr double kSlowestRate = 1.875;
constexpr double kCyclesPerSecond = 8000;  // one isochronous packet per 125 us cycle
constexpr int kSyncFlag = 0x02;
constexpr int kPacketModeFlag = 0x10;
constexpr auto kPumpStep = std::chrono::milliseconds(10);
// Far longer than any frame period, so that only a camera that sends nothing trips them: the
// first frame may take a while to come, a gap once frames flow means they have ceased.
constexpr auto kStallTimeout = std::chrono::seconds(10);
constexpr auto kGapTimeout = std::chrono::seconds(3);
// How long a failed read waits for a device-change notice that would explain it.
constexpr auto kNoticeGrace = std::chrono::seconds(1);

const char* SignalName(int signal) {
    switch (signal) {
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        case SIGQUIT:
            return "SIGQUIT";
        default:
            return "SIGINT";
    }
}

std::string Seconds(std::chrono::seconds s) { return std::to_string(s.count()) + " seconds"; }

std::string CutShort(const std::string& why) { return why + ": the recording is cut short"; }

}  // namespace

CaptureSession::CaptureSession(const CaptureOptions& options,
                               const volatile std::sig_atomic_t& stopSignal)
    : m_options(options),
      m_stopSignal(stopSignal),
      m_nCamera(options.camera),
      m_trigger(m_cam, options.camera, options) {}

CaptureSession::~CaptureSession() { Release(); }

int CaptureSession::Fail(int code, const std::string& message) {
    std::fprintf(stderr, "kestrix-capture: %s\n", message.c_str());
    if (m_nExit == kExitOk) {
        m_nExit = code;
        m_strExitReason = message;
    }
    return m_nExit;
}

bool CaptureSession::Interrupted() {
    const int signal = m_stopSignal;
    if (signal == 0) return false;
    if (!m_bInterruptReported) {
        m_bInterruptReported = true;
        Fail(kExitSignal + signal, std::string("stopped by ") + SignalName(signal));
    }
    return true;
}

int CaptureSession::Run() {
    RunSteps();
    // An unplugged camera has no trigger to put back.
    if (!m_bDeviceChange && !m_trigger.Restore())
        Fail(kExitFailed, "putting the camera's trigger setting back failed");
    if (m_options.json) WriteOut(Summary().Json());
    return m_nExit;
}

int CaptureSession::RunSteps() {
    if (!m_cam.Open()) return Fail(kExitFailed, "the camera library could not be opened");
    m_cam.SetColorTables(false, false, 10);
    m_cam.SetAccessUnit(m_options.accessUnit);
    if (m_options.list) {
        std::string listing;
        if (CameraListing::Print(m_cam, listing) == 0)
            return Fail(kExitNoCamera, "no camera found");
        WriteOut(listing);
        return m_nExit;
    }
    if (!CheckOutputs() || !FindCamera()) return m_nExit;
    if (!m_options.Capturing()) {
        // Settings alone leave the camera's capture alone, as the viewer's dialogs do.
        if (ApplyFeatures()) ReadFeatures();
        return m_nExit;
    }
    if (!ClaimCamera() || !ApplyFeatures() || !ApplyTrigger() || !ReadFeatures() || !Connect() ||
        !ListenForBusNotices()) {
        return m_nExit;
    }
    if (Interrupted()) return m_nExit;
    m_bCaptured = true;
    Record();
    SaveStills();
    if (!m_options.json) WriteOut(Summary().Line());
    return m_nExit;
}

bool CaptureSession::CheckOutputs() {
    for (const std::string& path : {m_options.avi, m_options.bmp, m_options.jpeg}) {
        if (path.empty()) continue;
        const std::string problem = OutputFileCheck::Problem(path);
        if (!problem.empty()) Fail(kExitFileError, "cannot create " + path + ": " + problem);
    }
    return m_nExit == kExitOk;
}

bool CaptureSession::FindCamera() {
    const int cameras = m_cam.GetDeviceCount(C1394Dcam::kCameraDevices);
    if (cameras == 0) {
        Fail(kExitNoCamera,
             m_options.simulate
                 ? "no camera on the simulated bus"
                 : "no camera found on the FireWire bus (--simulate uses a simulated one)");
        return false;
    }
    if (m_nCamera >= cameras) {
        // The library reaches only the first units of a large bus: say so, not that the bus
        // has fewer cameras than it has.
        const std::size_t units = platform::DeviceDirectory::ListInterfaces().size();
        const std::size_t reached = m_cam.GetDevicePathCount();
        const std::string count = units > reached
                                      ? "the camera library reaches " + std::to_string(reached) +
                                            " of the bus's " + std::to_string(units) + " units, " +
                                            std::to_string(cameras) + " cameras among them"
                                      : "the bus has " + std::to_string(cameras);
        Fail(kExitNoCamera,
             "no camera " + std::to_string(m_nCamera) + ": " + count + " (see --list)");
        return false;
    }
    return true;
}

bool CaptureSession::ClaimCamera() {
    // Taken before the first register write: Connect switches the transmission off, which
    // would cut short another program's recording.
    const unsigned device = unsigned(m_cam.GetCameraDevice(m_nCamera));
    std::string error;
    switch (m_claim.Take(m_cam.GetDevicePath(device), m_cam.GetCameraGuid(m_nCamera), error)) {
        case CameraLock::Result::Taken:
            return true;
        case CameraLock::Result::InUse:
            Fail(kExitInUse, "the camera is in use by another program");
            return false;
        case CameraLock::Result::Failed:
            break;
    }
    Fail(kExitFailed, error);
    return false;
}

bool CaptureSession::FeatureOutcome(const CameraFeatures::Outcome& outcome) {
    switch (outcome.status) {
        case CameraFeatures::Status::Ok:
            return true;
        case CameraFeatures::Status::Failed:
            Fail(kExitFailed, outcome.message);
            return false;
        case CameraFeatures::Status::Refused:
            break;
    }
    Fail(kExitFeature, outcome.message);
    return false;
}

bool CaptureSession::ApplyFeatures() {
    CameraFeatures features(m_cam, m_nCamera);
    for (const std::string& setting : m_options.sets) {
        if (!FeatureOutcome(features.Set(setting))) return false;
    }
    return true;
}

bool CaptureSession::ApplyTrigger() { return FeatureOutcome(m_trigger.Apply()); }

bool CaptureSession::ReadFeatures() {
    CameraFeatures features(m_cam, m_nCamera);
    for (const std::string& name : m_options.gets) {
        const std::size_t had = m_features.size();
        if (!FeatureOutcome(features.Get(name, m_features))) return false;
        if (m_options.json) continue;
        std::string lines;
        for (std::size_t i = had; i < m_features.size(); ++i) {
            lines += m_features[i].first + "=" + m_features[i].second + "\n";
        }
        WriteOut(lines);
    }
    return true;
}

bool CaptureSession::Connect() {
    const auto mode = CameraModes::Find(m_cam, m_nCamera, m_options.modeName);
    if (!mode) {
        Fail(kExitModeRefused, "camera " + std::to_string(m_nCamera) + " does not offer " +
                                   m_options.modeName + " (see --list)");
        return false;
    }
    m_cam.StopTransmission(m_nCamera);
    const bool format7 = mode->Format7();
    const C1394Dcam::Rect area{0, 0, mode->width - 1, mode->height - 1};
    const bool set =
        format7 ? m_cam.SetFormat7Mode(m_nCamera, mode->modeIndex, mode->colorCoding, &area)
                : m_cam.SetVideoMode(m_nCamera, mode->modeIndex, m_options.rateIndex, false);
    if (!set) {
        Fail(kExitModeRefused, "the camera refused " + m_options.modeName +
                                   (format7 ? "" : " at " + m_options.rateName + " fps"));
        return false;
    }
    if (const std::string problem = PacketProblem(*mode); !problem.empty()) {
        Fail(kExitModeRefused, problem);
        return false;
    }
    m_nFrameBytes = m_options.convert ? std::uint64_t(mode->width) * std::uint64_t(mode->height) * 3
                                      : std::uint64_t(std::max(0, m_cam.GetFrameBytes(m_nCamera)));
    const int flags =
        (m_options.sync ? kSyncFlag : 0) | (m_options.packetMode ? kPacketModeFlag : 0);
    if (!m_cam.StartCapture(m_nCamera, m_options.speed, flags, RingSlots(*mode))) {
        std::uint32_t needed = 0, left = 0;
        if (m_cam.GetBandwidthRefusal(&needed, &left)) {
            Fail(kExitModeRefused,
                 mode->name + (mode->Format7() ? "" : " at " + m_options.rateName + " fps") +
                     " needs " + std::to_string(needed) + " bandwidth units, the bus has " +
                     (left == bus::kBandwidthLeftUnknown ? "fewer" : std::to_string(left)) +
                     " left");
            return false;
        }
        // The other reasons (no channel left on the bus, a refused transfer) are logged.
        Fail(kExitFailed, "connection with the camera failed; -v shows why");
        return false;
    }
    m_bConnected = true;
    return true;
}

int CaptureSession::RingSlots(const CameraModes::Mode& mode) {
    const auto share = [&](int percent) {
        return mode.Format7() ? m_cam.CalcBufferCountForCamera(m_nCamera, percent, 1)
                              : m_cam.CalcBufferCount(mode.modeIndex, percent, 1);
    };
    if (m_options.bufferPercent != 0)
        return std::max(kMinRingFrames, share(m_options.bufferPercent));
    const int recorder = int(std::ceil(kRecorderRingSeconds * ModeFrameRate()));
    return std::max(kMinRingFrames, std::min(recorder, share(kDefaultPercent)));
}

double CaptureSession::ModeFrameRate() {
    const double period = m_cam.GetFramePeriodCycles(m_nCamera);
    return period > 0 ? kCyclesPerSecond / period : kSlowestRate * 8;  // unknown: 15 fps
}

std::string CaptureSession::PacketProblem(const CameraModes::Mode& mode) {
    const int bytes = m_cam.GetBytesPerPacket(m_nCamera);
    if (bytes <= 0) return {};  // unknown here: the capture's start reports it
    const int speed = m_options.speed;
    std::string bus = "S";  // appended: GCC 12 at -O3 warns falsely about "S" + number
    bus += std::to_string(100 << speed);
    const std::string what =
        mode.name + (mode.Format7() ? std::string() : " at " + m_options.rateName + " fps");
    const unsigned carried = BusBandwidth::MaxPacketBytes(speed);
    if (unsigned(bytes) > carried) {
        return what + " needs " + std::to_string(bytes) + " bytes per packet, " + bus +
               " carries " + std::to_string(carried);
    }
    const unsigned units = BusBandwidth::Units(unsigned(bytes), speed);
    if (units > BusBandwidth::kUnitsPerCycle) {
        return what + " needs " + std::to_string(units) + " bandwidth units per cycle at " + bus +
               ", the bus has " + std::to_string(BusBandwidth::kUnitsPerCycle);
    }
    return {};
}

bool CaptureSession::ListenForBusNotices() {
    m_pClient = platform::MessageEndpoint::Create([this](const platform::Message& message) {
        if (message.msg == bus::kWmCameraDeviceList) m_bDeviceChange = true;
        if (message.msg == bus::kWmCameraBusReset) m_bBusReset = true;
        return std::int64_t{0};
    });
    if (!m_pClient) {
        Fail(kExitFailed, "cannot listen for bus notices");
        return false;
    }
    m_cam.RegisterClient(m_pClient->Handle(), bus::kWmCameraDeviceList);
    return true;
}

void CaptureSession::Record() {
    if (CDcamCaptureThread* thread = m_cam.GetCaptureThread(m_nCamera)) {
        thread->SetCounterCheck(m_options.verifyCounter);
        m_statsAtStart = m_stats = thread->GetStats();
        m_nGapsAtStart = m_nGaps = thread->GetCounterGaps();
        m_nFirstSequence = thread->Ring()->GetNextSequence();
    }
    if (m_options.Recording()) {
        if (!files::OpenAviFile(m_cam, m_nCamera, m_options.avi.c_str(), m_options.convert,
                                m_options.standardFourCC)) {
            const std::string why = files::GetAviErrorText(m_cam, m_nCamera);
            Fail(kExitFileError, why.empty() ? "cannot record into " + m_options.avi : why);
            return;
        }
        m_aviFile.Created(m_options.avi);
        if (!files::StartAviRecording(m_cam, m_nCamera, m_options.frames)) {
            Fail(kExitFailed, "the recording could not start");
            CloseRecording();
            return;
        }
    }
    // Even a start that reports failure may have reached the camera: stop it regardless.
    m_bTransmitting = true;
    if (!m_cam.StartTransmission(m_nCamera, 0)) {
        Fail(kExitFailed, "the camera does not start transmitting");
    } else {
        WaitForFrames();
    }
    // The file first: finishing it needs no bus, which may be the thing that fails.
    if (m_options.Recording()) CloseRecording();
    StopCamera();
}

void CaptureSession::WaitForFrames() {
    ProgressLine progress(stderr);
    auto& queue = platform::MessageQueue::ForCurrentThread();
    const auto started = Clock::now();
    for (;;) {
        m_trigger.Tick(Clock::now());
        queue.Pump(kPumpStep);
        const auto now = Clock::now();
        CountFrames(now);
        if (WaitEnds(now, started)) break;
        progress.Update(m_nFrames, FramesPerSecond(), Dropped());
    }
}

bool CaptureSession::WaitEnds(Clock::time_point now, Clock::time_point started) {
    if (Interrupted()) return true;
    if (m_bBusReset) {
        Fail(kExitBusEvent, "a bus reset interrupted the recording");
        return true;
    }
    if (m_bDeviceChange) {
        Fail(kExitBusEvent, CutShort("the devices on the bus changed (was the camera unplugged?)"));
        return true;
    }
    if (ReceiveFailed()) {
        // An unplug fails the reads before its notice arrives: the notice gets a moment to
        // tell the two apart, so that an unplug is reported as one.
        if (m_failureSeen == Clock::time_point{}) m_failureSeen = now;
        if (now - m_failureSeen < kNoticeGrace) return false;
        Fail(kExitFailed, CutShort("reading frames from the camera failed (the bus driver "
                                   "reported an error, or it is gone)"));
        return true;
    }
    if (m_options.frames != 0 && m_nFrames >= m_options.frames) return true;
    // Ends with the first frame at or past the time asked: frames that cease before it are
    // caught below, not taken for a finished recording.
    if (m_options.seconds != 0 && m_nFrames > 0 &&
        m_lastSeen - m_firstSeen >= std::chrono::duration<double>(m_options.seconds)) {
        return true;
    }
    // The recorder stopped by itself: closing says why.
    if (m_options.Recording() && !files::GetAviErrorText(m_cam, m_nCamera).empty()) return true;
    if (m_options.Recording() && m_aviFile.GoneBy(now)) return true;
    if (const std::optional<bool> ends = m_trigger.TriggeredRunEnds(now, started)) return *ends;
    const bool flowing = m_stats.stored != m_statsAtStart.stored;
    const std::chrono::seconds limit = flowing ? kGapTimeout : kStallTimeout;
    if (now - (flowing ? m_lastArrival : started) <= limit) return false;
    const std::string silence =
        "no frame has come from the camera for " + Seconds(limit) + m_trigger.SilenceNote();
    Fail(kExitFailed, flowing ? CutShort(silence + " (the bus stalls, or another program "
                                                   "switched its transmission off)")
                              : silence);
    return true;
}

bool CaptureSession::ReceiveFailed() const {
    // A capture that went away is a device change, which its notice reports.
    const CDcamCaptureThread* thread = m_cam.GetCaptureThread(m_nCamera);
    return thread != nullptr && (thread->m_nState == CIsochTransferThread::kStateFailed ||
                                 m_stats.readErrors != m_statsAtStart.readErrors);
}

void CaptureSession::CountFrames(Clock::time_point now) {
    if (const CDcamCaptureThread* thread = m_cam.GetCaptureThread(m_nCamera)) {
        const std::uint64_t stored = m_stats.stored;
        m_stats = thread->GetStats();
        m_nGaps = thread->GetCounterGaps();
        if (m_stats.stored != stored) m_lastArrival = now;
    }
    std::uint64_t count = m_options.Recording()
                              ? std::uint64_t(files::GetAviFrameCount(m_cam, m_nCamera))
                              : m_stats.stored - m_statsAtStart.stored;
    // Frames that arrive between the Nth and the camera's stop are not part of the run.
    if (m_options.frames != 0) count = std::min<std::uint64_t>(count, m_options.frames);
    if (count == m_nFrames) return;
    if (m_nFrames == 0) {
        m_firstSeen = now;
        m_nFirstCount = count;
    }
    m_nFrames = count;
    m_lastSeen = now;
}

void CaptureSession::CloseRecording() {
    files::PauseAviRecording(m_cam, m_nCamera);
    // Without a capture any more, its end has finished the file already.
    files::CloseAviFile(m_cam, m_nCamera);
    m_nFrames = std::uint64_t(files::GetAviFrameCount(m_cam, m_nCamera));
    const std::string problem = files::GetAviErrorText(m_cam, m_nCamera);
    if (m_aviFile.Gone()) {
        Fail(kExitFileError, "recording into " + m_options.avi +
                                 " failed: the file is gone (its "
                                 "folder or the file was removed during the recording), and the " +
                                 std::to_string(m_nFrames) + " frames written with it");
    } else if (!problem.empty()) {
        Fail(kExitFileError, "recording into " + m_options.avi + " stopped: " + problem +
                                 "; the file keeps the " + std::to_string(m_nFrames) +
                                 " frames written before");
    }
}

void CaptureSession::StopCamera() {
    if (!m_bTransmitting) return;
    m_bTransmitting = false;
    // After a device change the camera may be gone, and its capture is stopped already.
    if (m_bDeviceChange) return;
    if (m_cam.StopTransmission(m_nCamera) || m_cam.StopTransmission(m_nCamera)) return;
    Fail(kExitFailed,
         "the camera did not take the command to stop transmitting, twice: "
         "it may still be sending");
}

void CaptureSession::SaveStills() {
    if (!m_options.bmp.empty()) SaveStill(m_options.bmp, false);
    if (!m_options.jpeg.empty()) SaveStill(m_options.jpeg, true);
}

void CaptureSession::SaveStill(const std::string& path, bool jpeg) {
    const CDcamCaptureThread* thread = m_cam.GetCaptureThread(m_nCamera);
    if (thread == nullptr || !thread->HasFrame()) {
        Fail(kExitFailed, "no frame to save as " + path);
        return;
    }
    const int slot = StillSlot(*thread);
    const bool saved = jpeg ? files::SaveJpeg(m_cam, m_nCamera, path.c_str(), m_options.quality,
                                              false, false, slot)
                            : files::SaveBitmap(m_cam, m_nCamera, path.c_str(), slot);
    if (saved) return;
    // The writer's reason names the file itself when it comes from the system.
    const std::string why = m_cam.GetStillErrorText();
    const bool named = !why.empty() && why.rfind(path, 0) == 0;
    Fail(kExitFileError, "cannot write " + (named ? why : why.empty() ? path : path + ": " + why));
}

int CaptureSession::StillSlot(const CDcamCaptureThread& thread) const {
    // With --frames the still is the run's last frame, not one that came after it.
    const std::uint64_t stored = m_stats.stored - m_statsAtStart.stored;
    const int slots = thread.GetSlotCount();
    if (m_options.frames == 0 || stored < m_options.frames ||
        stored - m_options.frames >= std::uint64_t(slots)) {
        return -1;
    }
    const auto last = std::uint16_t(m_nFirstSequence + m_options.frames - 1);
    for (int slot = 0; slot < slots; ++slot) {
        if (thread.GetSequence(slot) == last) return slot;
    }
    return -1;
}

void CaptureSession::WriteOut(const std::string& text) {
    if (m_bStdoutFailed || text.empty()) return;
    if (std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0) return;
    m_bStdoutFailed = true;
    Fail(kExitFailed, std::string("cannot write to standard output: ") + std::strerror(errno));
}

CaptureSummary CaptureSession::Summary() const {
    CaptureSummary summary;
    // Without a capture there is nothing to count.
    if (m_bCaptured) {
        summary.frames = m_nFrames;
        summary.dropped = Dropped();
        summary.fps = FramesPerSecond();
        summary.bytes = m_nFrames * m_nFrameBytes;
        summary.lost = Lost();
    }
    for (const auto& [key, path] :
         {std::pair<const char*, const std::string&>{"avi", m_options.avi},
          {"bmp", m_options.bmp},
          {"jpeg", m_options.jpeg}}) {
        if (!path.empty()) summary.files.emplace_back(key, path);
    }
    summary.features = m_features;
    summary.exitReason = m_nExit == kExitOk ? "done" : m_strExitReason;
    summary.exitStatus = m_nExit;
    return summary;
}

double CaptureSession::FramesPerSecond() const {
    const std::chrono::duration<double> span = m_lastSeen - m_firstSeen;
    if (m_nFrames <= m_nFirstCount || span.count() <= 0) return 0;
    return double(m_nFrames - m_nFirstCount) / span.count();
}

std::uint64_t CaptureSession::Dropped() const {
    return m_options.Recording() ? std::uint64_t(files::GetAviDropped(m_cam, m_nCamera)) : 0;
}

std::uint64_t CaptureSession::Lost() const {
    // Frames that arrived cut short are lost as pictures even though a slot holds them.
    std::uint64_t lost = m_stats.shortFrames - m_statsAtStart.shortFrames;
    // The counter sees every frame that never came; without it, the reads that failed or
    // delivered nothing and the periods the frames' cycle stamps show missing tell.
    if (m_options.verifyCounter) return lost + (m_nGaps - m_nGapsAtStart);
    return lost + (m_stats.lost - m_statsAtStart.lost) +
           (m_stats.readErrors - m_statsAtStart.readErrors);
}

void CaptureSession::Release() {
    if (m_bConnected) {
        m_cam.StopCapture(m_nCamera);
        m_bConnected = false;
    }
    if (m_pClient) m_cam.UnregisterClient(m_pClient->Handle());
    m_pClient.reset();
    m_cam.Close();
    m_claim.Release();
}
