// Connecting, recording, saving stills and releasing for kestrix-capture.
#include "tools/kestrix-capture/CaptureSession.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "bus/DriverCodes.h"
#include "platform/MessageQueue.h"
#include "tools/kestrix-capture/CameraListing.h"
#include "tools/kestrix-capture/ExitCodes.h"
#include "tools/kestrix-capture/ProgressLine.h"

namespace {

namespace fs = std::filesystem;

constexpr int kCamera = 0;
constexpr int kFormat7Mode0 = 24;
constexpr int kMinRingFrames = 5;
constexpr int kSyncFlag = 0x02;
constexpr int kPacketModeFlag = 0x10;
constexpr auto kPumpStep = std::chrono::milliseconds(10);
// Far longer than any frame period, so that only a camera that sends nothing trips it.
constexpr auto kStallTimeout = std::chrono::seconds(10);

// Why path cannot be written, or empty when it can: checked before the camera is touched.
std::string OutputProblem(const std::string& path) {
    std::error_code error;
    const fs::path file(path);
    if (fs::is_directory(file, error)) return "is a directory";
    if (fs::exists(file, error)) {
        return ::access(file.c_str(), W_OK) == 0 ? std::string() : std::strerror(errno);
    }
    const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
    if (::access(folder.c_str(), W_OK | X_OK) != 0) return std::strerror(errno);
    return fs::is_directory(folder, error) ? std::string() : std::strerror(ENOTDIR);
}

}  // namespace

CaptureSession::CaptureSession(const CaptureOptions& options,
                               const volatile std::sig_atomic_t& stopRequested)
    : m_options(options), m_stopRequested(stopRequested) {}

CaptureSession::~CaptureSession() { Release(); }

int CaptureSession::Fail(int code, const std::string& message) {
    std::fprintf(stderr, "kestrix-capture: %s\n", message.c_str());
    if (m_nExit == kExitOk) m_nExit = code;
    return m_nExit;
}

int CaptureSession::Run() {
    if (!m_cam.Open()) return Fail(kExitFailed, "the camera library could not be opened");
    m_cam.SetColorTables(false, false, 10);
    m_cam.SetAccessUnit(m_options.accessUnit);
    if (m_options.list) {
        if (CameraListing::Print(m_cam, stdout) == 0) return Fail(kExitNoCamera, "no camera found");
        return kExitOk;
    }
    if (!CheckOutputs() || !Connect() || !ListenForBusNotices()) return m_nExit;
    Record();
    SaveStills();
    PrintSummary();
    return m_nExit;
}

bool CaptureSession::CheckOutputs() {
    for (const std::string& path : {m_options.avi, m_options.bmp, m_options.jpeg}) {
        if (path.empty()) continue;
        const std::string problem = OutputProblem(path);
        if (!problem.empty()) Fail(kExitFileError, "cannot create " + path + ": " + problem);
    }
    return m_nExit == kExitOk;
}

bool CaptureSession::Connect() {
    if (m_cam.GetDeviceCount(C1394Dcam::kCameraDevices) == 0) {
        Fail(kExitNoCamera,
             m_options.simulate
                 ? "no camera on the simulated bus"
                 : "no camera found (is kestrix-busd running? --simulate starts one)");
        return false;
    }
    m_cam.StopTransmission(kCamera);
    const bool format7 = m_options.modeIndex >= kFormat7Mode0;
    const C1394Dcam::Rect area{0, 0, m_options.width - 1, m_options.height - 1};
    const bool set =
        format7 ? m_cam.SetFormat7Mode(kCamera, m_options.modeIndex, m_options.colorCoding, &area)
                : m_cam.SetVideoMode(kCamera, m_options.modeIndex, m_options.rateIndex, false);
    if (!set) {
        Fail(kExitModeRefused, "the camera refused " + m_options.modeName +
                                   (format7 ? "" : " at " + m_options.rateName + " fps"));
        return false;
    }
    const int percent = m_options.bufferPercent;
    const int frames =
        std::max(kMinRingFrames, format7 ? m_cam.CalcBufferCountForCamera(kCamera, percent, 1)
                                         : m_cam.CalcBufferCount(m_options.modeIndex, percent, 1));
    const int flags =
        (m_options.sync ? kSyncFlag : 0) | (m_options.packetMode ? kPacketModeFlag : 0);
    if (!m_cam.StartCapture(kCamera, m_options.speed, flags, frames)) {
        Fail(kExitFailed, "connection with the camera failed");
        return false;
    }
    m_bConnected = true;
    return true;
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
    const CDcamCaptureThread* thread = m_cam.GetCaptureThread(kCamera);
    if (thread != nullptr) {
        m_nStoredAtStart = thread->GetStats().stored;
        m_nDroppedAtStart = thread->GetStats().dropped;
    }
    if (m_options.Recording()) {
        if (!m_cam.OpenAviFile(kCamera, m_options.avi.c_str(), m_options.convert)) {
            const std::string why = m_cam.GetAviErrorText(kCamera);
            Fail(kExitFileError, why.empty() ? "cannot record into " + m_options.avi : why);
            return;
        }
        if (!m_cam.StartAviRecording(kCamera, m_options.frames)) {
            Fail(kExitFailed, "the recording could not start");
            CloseRecording();
            return;
        }
    }
    if (!m_cam.StartTransmission(kCamera, 0)) {
        Fail(kExitFailed, "the camera does not start transmitting");
    } else {
        WaitForFrames();
        m_cam.StopTransmission(kCamera);
    }
    if (m_options.Recording()) CloseRecording();
}

void CaptureSession::WaitForFrames() {
    ProgressLine progress(stderr);
    auto& queue = platform::MessageQueue::ForCurrentThread();
    const auto started = Clock::now();
    for (;;) {
        queue.Pump(kPumpStep);
        const auto now = Clock::now();
        CountFrames(now);
        if (WaitEnds(now, started)) break;
        progress.Update(m_nFrames, FramesPerSecond(), Dropped());
    }
}

bool CaptureSession::WaitEnds(Clock::time_point now, Clock::time_point started) {
    if (m_stopRequested) {
        Fail(kExitInterrupted, "stopped by a signal");
        return true;
    }
    if (m_bDeviceChange || m_bBusReset) {
        Fail(kExitBusEvent, m_bBusReset ? "a bus reset interrupted the recording"
                                        : "the devices on the bus changed (was the camera "
                                          "unplugged?): the recording is cut short");
        return true;
    }
    if (m_options.frames != 0 && m_nFrames >= m_options.frames) return true;
    if (m_options.seconds != 0 && m_nFrames > 0 &&
        now - m_firstSeen >= std::chrono::duration<double>(m_options.seconds)) {
        return true;
    }
    // The recorder stopped by itself: closing says why.
    if (m_options.Recording() && !m_cam.GetAviErrorText(kCamera).empty()) return true;
    if (now - std::max(m_lastSeen, started) > kStallTimeout) {
        Fail(kExitFailed, "no frame has come from the camera for " +
                              std::to_string(kStallTimeout.count()) + " seconds");
        return true;
    }
    return false;
}

void CaptureSession::CountFrames(Clock::time_point now) {
    std::uint64_t count = m_nFrames;
    if (m_options.Recording()) {
        count = std::uint64_t(m_cam.GetAviFrameCount(kCamera));
    } else if (const CDcamCaptureThread* thread = m_cam.GetCaptureThread(kCamera)) {
        count = thread->GetStats().stored - m_nStoredAtStart;
    }
    if (count == m_nFrames) return;
    if (m_nFrames == 0) {
        m_firstSeen = now;
        m_nFirstCount = count;
    }
    m_nFrames = count;
    m_lastSeen = now;
}

void CaptureSession::CloseRecording() {
    m_cam.PauseAviRecording(kCamera);
    // Without a capture any more, its end has finished the file already.
    m_cam.CloseAviFile(kCamera);
    m_nFrames = std::uint64_t(m_cam.GetAviFrameCount(kCamera));
    const std::string problem = m_cam.GetAviErrorText(kCamera);
    if (!problem.empty()) {
        Fail(kExitFileError, "recording into " + m_options.avi + " stopped: " + problem +
                                 "; the file keeps the " + std::to_string(m_nFrames) +
                                 " frames written before");
    }
}

void CaptureSession::SaveStills() {
    if (!m_options.bmp.empty()) SaveStill(m_options.bmp, false);
    if (!m_options.jpeg.empty()) SaveStill(m_options.jpeg, true);
}

void CaptureSession::SaveStill(const std::string& path, bool jpeg) {
    const CDcamCaptureThread* thread = m_cam.GetCaptureThread(kCamera);
    if (thread == nullptr || !thread->HasFrame()) {
        Fail(kExitFailed, "no frame to save as " + path);
        return;
    }
    const bool saved =
        jpeg ? m_cam.SaveJpeg(kCamera, path.c_str(), m_options.quality, false, false, -1)
             : m_cam.SaveBitmap(kCamera, path.c_str(), -1);
    if (!saved) Fail(kExitFileError, "cannot write " + path);
}

void CaptureSession::PrintSummary() const {
    std::printf("frames=%llu dropped=%llu fps=%.2f\n", static_cast<unsigned long long>(m_nFrames),
                static_cast<unsigned long long>(Dropped()), FramesPerSecond());
    std::fflush(stdout);
}

double CaptureSession::FramesPerSecond() const {
    const std::chrono::duration<double> span = m_lastSeen - m_firstSeen;
    if (m_nFrames <= m_nFirstCount || span.count() <= 0) return 0;
    return double(m_nFrames - m_nFirstCount) / span.count();
}

std::uint64_t CaptureSession::Dropped() const {
    if (m_options.Recording()) return std::uint64_t(m_cam.GetAviDropped(kCamera));
    const CDcamCaptureThread* thread = m_cam.GetCaptureThread(kCamera);
    return thread != nullptr ? thread->GetStats().dropped - m_nDroppedAtStart : 0;
}

void CaptureSession::Release() {
    if (m_bConnected) {
        m_cam.StopTransmission(kCamera);
        m_cam.StopCapture(kCamera);
        m_bConnected = false;
    }
    if (m_pClient) m_cam.UnregisterClient(m_pClient->Handle());
    m_pClient.reset();
    m_cam.Close();
}
