// Claiming, streaming, recording, saving stills and releasing for kestrix-capture.
#include "tools/kestrix-capture/CaptureSession.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "camera/BusBandwidth.h"
#include "camera/CDcamCaptureThread.h"
#include "platform/DeviceDirectory.h"
#include "tools/kestrix-capture/CameraListing.h"
#include "tools/kestrix-capture/ExitCodes.h"
#include "tools/kestrix-capture/ProgressLine.h"

namespace {

using kestrix::session::CameraManager;
using kestrix::session::Error;
using kestrix::session::RingSize;
using kestrix::session::StreamConfig;
using Kind = Error::Kind;

// A recorder's ring rides out a disk that stalls this long; the viewer's holds a history.
constexpr double kRecorderRingSeconds = 2;
constexpr auto kPumpStep = std::chrono::milliseconds(10);
// Far longer than any frame period, so that only a camera that sends nothing trips them: the
// first frame may take a while to come, a gap once frames flow means they have ceased. A
// driver that stops answering ends the stream sooner, by the session's rule.
constexpr auto kStallTimeout = std::chrono::seconds(10);
constexpr auto kGapTimeout = std::chrono::seconds(3);

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
                               const std::atomic<int>& stopSignal)
    : m_options(options),
      m_stopSignal(stopSignal),
      m_trigger(options),
      m_recording(options, [this](int code, const std::string& message) { Fail(code, message); }),
      m_recorder(options, [this](int code, const std::string& message) { Fail(code, message); }),
      m_still(options, [this](int code, const std::string& message) { Fail(code, message); }) {}

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
    // A camera gone from the bus has no trigger to put back.
    if (m_pCamera && m_pCamera->GetState() != kestrix::session::Camera::State::Lost &&
        !m_trigger.Restore(*m_pCamera))
        Fail(kExitFailed, "putting the camera's trigger setting back failed");
    if (m_options.json) WriteOut(m_options.Group() ? GroupSummaryOf().Json() : Summary().Json());
    return m_nExit;
}

int CaptureSession::RunSteps() {
    Error error;
    m_pManager = CameraManager::Create(CameraManager::Threading::CallerThread, error);
    if (!m_pManager) return Fail(kExitFailed, "the camera library could not be opened");
    m_pManager->Call([&](C1394Dcam& cam) {
        cam.SetColorTables(false, false, 10);
        cam.SetAccessUnit(m_options.accessUnit);
    });
    if (m_options.list) {
        std::string listing;
        if (CameraListing::Print(*m_pManager, listing) == 0)
            return Fail(kExitNoCamera, "no camera found");
        WriteOut(listing);
        return m_nExit;
    }
    if (m_options.Group()) return RunGroup();
    if (!CheckOutputs() || !OpenCamera()) return m_nExit;
    if (!m_options.Capturing()) {
        // Settings alone leave the camera's capture alone, as the viewer's dialogs do.
        if (ApplyFeatures()) ReadFeatures();
        return m_nExit;
    }
    if (!ApplyFeatures() || !ApplyTrigger() || !ReadFeatures() || !Connect()) return m_nExit;
    if (Interrupted()) return m_nExit;
    m_bCaptured = true;
    Record();
    m_still.Save(*m_pCamera);
    if (!m_options.json) WriteOut(Summary().Line());
    return m_nExit;
}

bool CaptureSession::CheckOutputs() {
    for (const std::string& path : {m_options.avi, m_options.record, m_options.bmp, m_options.jpeg}) {
        // A pattern's files are made as frames come, in folders made then.
        if (path.empty() || path.find('%') != std::string::npos) continue;
        const std::string problem = OutputFileCheck::Problem(path);
        if (!problem.empty()) Fail(kExitFileError, "cannot create " + path + ": " + problem);
    }
    return m_nExit == kExitOk;
}

bool CaptureSession::OpenCamera() {
    m_pCamera = Claim(m_options.camera, m_options.Capturing());
    return m_pCamera != nullptr;
}

std::shared_ptr<kestrix::session::Camera> CaptureSession::Claim(
    const kestrix::session::CameraPick& pick, bool capturing) {
    // Claimed before the first register write of a capture: its set-up switches the
    // transmission off, which would cut short another program's recording. Settings alone
    // need no claim.
    Error error;
    auto camera = capturing ? m_pManager->Acquire(pick, error) : m_pManager->Find(pick, error);
    if (camera) return camera;
    switch (error.GetKind()) {
        case Kind::NotFound:
            NoCamera(error, pick);
            break;
        case Kind::InUse:
            Fail(kExitInUse, error.Message());
            break;
        default:
            Fail(kExitFailed, error.Message());
    }
    return nullptr;
}

void CaptureSession::NoCamera(const Error& error, const kestrix::session::CameraPick& pick) {
    Error unread;
    const std::size_t cameras = m_pManager->Cameras(unread).size();
    if (cameras == 0) {
        Fail(kExitNoCamera,
             m_options.simulate
                 ? "no camera on the simulated bus"
                 : "no camera found on the FireWire bus (--simulate uses a simulated one)");
        return;
    }
    if (pick.guid) {
        Fail(kExitNoCamera, error.Message() + " (see --list)");
        return;
    }
    // The library reaches only the first units of a large bus: say so, not that the bus has
    // fewer cameras than it has.
    const std::size_t units = platform::DeviceDirectory::ListInterfaces().size();
    const std::size_t reached =
        m_pManager->Call([](C1394Dcam& cam) { return cam.GetDevicePathCount(); });
    const std::string count = units > reached
                                  ? "the camera library reaches " + std::to_string(reached) +
                                        " of the bus's " + std::to_string(units) + " units, " +
                                        std::to_string(cameras) + " cameras among them"
                                  : "the bus has " + std::to_string(cameras);
    Fail(kExitNoCamera,
         "no camera " + std::to_string(pick.index) + ": " + count + " (see --list)");
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

bool CaptureSession::ApplyFeatures() { return ApplyFeatures(*m_pCamera); }

bool CaptureSession::ApplyFeatures(kestrix::session::Camera& camera) {
    for (const std::string& setting : m_options.sets) {
        if (const Error error = camera.SetFeature(setting)) {
            Fail(error.GetKind() == Kind::Refused ? kExitFeature : kExitFailed, error.Message());
            return false;
        }
    }
    return true;
}

bool CaptureSession::ApplyTrigger() { return FeatureOutcome(m_trigger.Apply(*m_pCamera)); }

bool CaptureSession::ReadFeatures() {
    for (const std::string& name : m_options.gets) {
        const std::size_t had = m_features.size();
        CameraFeatures::Outcome outcome;
        if (const Error gone = m_pCamera->Call([&](C1394Dcam& cam, int index) {
                outcome = CameraFeatures(cam, index).Get(name, m_features);
            })) {
            outcome = {CameraFeatures::Status::Failed, gone.Message()};
        }
        if (!FeatureOutcome(outcome)) return false;
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
    StreamConfig config;
    if (!MakeConfig(*m_pCamera, config)) return false;
    if (const Error error = m_pCamera->Configure(config)) {
        Fail(error.GetKind() == Kind::Refused ? kExitModeRefused : kExitFailed, error.Message());
        return false;
    }
    if (const std::string problem = PacketProblem(*m_pCamera, config.mode); !problem.empty()) {
        Fail(kExitModeRefused, problem);
        return false;
    }
    // Transmission waits for the recorder, so that the file gets the stream's first frame.
    if (const Error error = m_pCamera->Start(m_pStream, false)) {
        StartFailed(error);
        return false;
    }
    const CameraModes::Mode& mode = config.mode;
    m_nFrameBytes = m_options.convert ? std::uint64_t(mode.width) * std::uint64_t(mode.height) * 3
                                      : m_pStream->FrameBytes();
    return true;
}

bool CaptureSession::MakeConfig(kestrix::session::Camera& camera, StreamConfig& config) {
    if (const Error error = camera.FindMode(m_options.modeName, config.mode)) {
        const bool refused = error.GetKind() == Kind::Refused;
        Fail(refused ? kExitModeRefused : kExitFailed,
             refused ? error.Message() + " (see --list)" : error.Message());
        return false;
    }
    config.rateIndex = m_options.rateIndex;
    config.speed = m_options.speed;
    config.sync = m_options.sync;
    config.packetMode = m_options.packetMode;
    config.ring = m_options.bufferPercent != 0
                      ? RingSize::MemoryShare(m_options.bufferPercent)
                      : RingSize::Seconds(kRecorderRingSeconds + m_options.preTrigger);
    config.prefaultRing = true;
    return true;
}

void CaptureSession::StartFailed(const Error& error) {
    switch (error.GetKind()) {
        case Kind::NoBandwidth:
            Fail(kExitModeRefused, error.Message());
            break;
        case Kind::Failed:
            // The other reasons (no channel left on the bus, a refused transfer) are logged.
            Fail(kExitFailed, "connection with the camera failed; -v shows why");
            break;
        default:
            Fail(kExitFailed, error.Message());
    }
}

std::string CaptureSession::PacketProblem(kestrix::session::Camera& camera,
                                          const CameraModes::Mode& mode) {
    int bytes = 0;
    camera.Call([&](C1394Dcam& cam, int index) { bytes = cam.GetBytesPerPacket(index); });
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

void CaptureSession::Record() {
    m_pCamera->Call([&](C1394Dcam& cam, int index) {
        if (CDcamCaptureThread* thread = cam.GetCaptureThread(index)) {
            thread->SetCounterCheck(m_options.verifyCounter);
            m_nGapsAtStart = m_nGaps = thread->GetCounterGaps();
        }
    });
    m_nFirstSequence = m_pStream->Ring()->GetNextSequence();
    if (!m_options.avi.empty() && !m_recording.Start(*m_pCamera)) return;
    if (!m_options.record.empty() && !m_recorder.Start(*m_pCamera, m_pStream)) return;
    // Even a start that reports failure may have reached the camera: it is stopped regardless.
    if (m_pCamera->SetTransmission(true)) {
        Fail(kExitFailed, "the camera does not start transmitting");
    } else {
        WaitForFrames();
        if (const std::optional<std::uint16_t> last = RunsLastFrame())
            m_still.Hold(*m_pCamera, *last);
    }
    // The file first: finishing it needs no bus, which may be the thing that fails.
    if (!m_options.avi.empty()) m_recording.Close();
    if (!m_options.record.empty()) m_recorder.Close();
    if (m_options.Recording()) m_nFrames = RecordedFrames();
    StopTransmission();
}

void CaptureSession::WaitForFrames() {
    ProgressLine progress(stderr);
    const auto started = Clock::now();
    for (;;) {
        m_trigger.Tick(*m_pCamera, Clock::now());
        m_pManager->Pump(kPumpStep);
        const auto now = Clock::now();
        CountFrames(now);
        if (WaitEnds(now, started)) break;
        progress.Update(m_nFrames, FramesPerSecond(), RecordedDropped());
    }
    m_counters = m_pStream->Counters();
}

std::uint64_t CaptureSession::RecordedFrames() const {
    return m_options.record.empty() ? m_recording.Frames() : m_recorder.Frames();
}

std::uint64_t CaptureSession::RecordedDropped() const {
    return m_options.record.empty() ? m_recording.Dropped() : m_recorder.Dropped();
}

bool CaptureSession::WaitEnds(Clock::time_point now, Clock::time_point started) {
    if (Interrupted()) return true;
    // A device change, a bus reset, failed reads, a capture gone or a silent driver.
    if (const Error reason = m_pStream->Watch()) {
        StreamEnded(reason);
        return true;
    }
    // A --record recorder stops by itself after its frames, which a pre-trigger counts from
    // the event's. The AVI recorder names its last frame just after counting it: the still
    // needs that.
    if (m_options.frames != 0 && m_options.record.empty() && m_nFrames >= m_options.frames &&
        (m_options.avi.empty() || m_recording.LimitFrame())) {
        return true;
    }
    // Ends with the first frame at or past the time asked: frames that cease before it are
    // caught below, not taken for a finished recording.
    if (m_options.seconds != 0 && m_nFrames > 0 &&
        m_lastSeen - m_firstSeen >= std::chrono::duration<double>(m_options.seconds)) {
        return true;
    }
    if (!m_options.avi.empty() && m_recording.Ended(now)) return true;
    if (!m_options.record.empty() && m_recorder.Tick(*m_pCamera, now)) return true;
    if (const std::optional<bool> ends = m_trigger.TriggeredRunEnds(now, started)) return *ends;
    const bool flowing = m_counters.received != 0;
    const std::chrono::seconds limit = flowing ? kGapTimeout : kStallTimeout;
    if (now - (flowing ? m_lastArrival : started) <= limit) return false;
    const std::string silence = "no frame has come from the camera for " + Seconds(limit) +
                                m_trigger.SilenceNote(*m_pCamera);
    Fail(kExitFailed, flowing ? CutShort(silence + " (the bus stalls, or another program "
                                                   "switched its transmission off)")
                              : silence);
    return true;
}

void CaptureSession::StreamEnded(const Error& reason) {
    switch (reason.GetKind()) {
        case Kind::BusReset:
            Fail(kExitBusEvent, "a bus reset interrupted the recording");
            break;
        case Kind::Unplugged:
            Fail(kExitBusEvent,
                 CutShort("the devices on the bus changed (was the camera unplugged?)"));
            break;
        case Kind::DriverGone:
            Fail(kExitFailed, CutShort("the bus driver does not answer (no frame for a second, "
                                       "and a register read of the camera timed out)"));
            break;
        default:
            Fail(kExitFailed, CutShort(reason.Message()));
    }
}

void CaptureSession::CountFrames(Clock::time_point now) {
    const std::uint64_t received = m_counters.received;
    m_counters = m_pStream->Counters();
    if (m_counters.received != received) m_lastArrival = now;
    if (m_options.verifyCounter) {
        m_pCamera->Call([&](C1394Dcam& cam, int index) {
            if (const CDcamCaptureThread* thread = cam.GetCaptureThread(index))
                m_nGaps = thread->GetCounterGaps();
        });
    }
    std::uint64_t count = m_options.Recording() ? RecordedFrames() : m_counters.received;
    // Frames that arrive between the Nth and the camera's stop are not part of the run.
    if (m_options.frames != 0 && m_options.preTrigger == 0)
        count = std::min<std::uint64_t>(count, m_options.frames);
    if (count == m_nFrames) return;
    if (m_nFrames == 0) {
        m_firstSeen = now;
        m_nFirstCount = count;
    }
    m_nFrames = count;
    m_lastSeen = now;
}

void CaptureSession::StopTransmission() {
    if (!m_pCamera->Transmitting()) return;
    // A camera gone from the bus needs no stop, and a driver that went silent is not asked.
    if (m_pCamera->GetState() != kestrix::session::Camera::State::Streaming ||
        m_pStream->EndReason().GetKind() == Kind::DriverGone) {
        return;
    }
    if (!m_pCamera->SetTransmission(false) || !m_pCamera->SetTransmission(false)) return;
    Fail(kExitFailed,
         "the camera did not take the command to stop transmitting, twice: "
         "it may still be sending");
}

std::optional<std::uint16_t> CaptureSession::RunsLastFrame() const {
    if (m_options.frames == 0 || m_nFrames < m_options.frames) return {};
    // The file's last frame: frames the ring lost before the recorder copied them move it on.
    if (!m_options.avi.empty()) return m_recording.LimitFrame();
    // A pre-trigger recording's frames begin before its event.
    if (m_options.preTrigger != 0) return {};
    return std::uint16_t(m_nFirstSequence + m_options.frames - 1);
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
        summary.dropped = RecordedDropped();
        summary.fps = FramesPerSecond();
        summary.bytes = m_nFrames * m_nFrameBytes;
        summary.lost = m_counters.lost;
        summary.shortFrames = m_counters.shortFrames;
        summary.readErrors = m_counters.readErrors;
    }
    if (m_options.verifyCounter) summary.counterGaps = m_nGaps - m_nGapsAtStart;
    for (const auto& [key, path] :
         {std::pair<const char*, const std::string&>{"avi", m_options.avi},
          {"record", m_options.record},
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

void CaptureSession::Release() {
    m_pGroupRecorder.reset();
    m_pCameraGroup.reset();
    for (const auto& camera : m_groupCameras) camera->Release();
    m_groupCameras.clear();
    // Stops the stream (transmission off unless the camera is gone) and lets the claim go.
    if (m_pCamera) m_pCamera->Release();
    m_pCamera.reset();
    m_pStream.reset();
    m_pManager.reset();
}
