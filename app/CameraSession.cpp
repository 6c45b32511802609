// The viewer's camera session: connection, capture, recording, bus notices and settings.
#include "app/CameraSession.h"

#include <QSettings>
#include <QSocketNotifier>

#include <algorithm>
#include <array>
#include <utility>

#include "camera/BusBandwidth.h"
#include "camera/CDcamCaptureThread.h"
#include "camera/IidcRegisters.h"
#include "files/CameraFiles.h"
#include "platform/Log.h"
#include "platform/MessageEndpoint.h"
#include "platform/MessageQueue.h"

namespace {

struct SettingRow {
    const char* name;
    int CameraSession::TransferSettings::*member;
    int defaultValue;
    int maximum;
};
using Settings = CameraSession::TransferSettings;
constexpr std::array<SettingRow, 6> kSettings{{
    {"BusSpeed", &Settings::m_nBusSpeed, 2, 2},
    {"BufferRate", &Settings::m_nBufferRate, 4, 8},
    {"StreamMode", &Settings::m_nStreamMode, 0, 1},
    {"AccessUnit", &Settings::m_nAccessUnit, 0, 5},
    {"SyncSY", &Settings::m_nSyncSY, 1, 1},
    {"RawAviFourCC", &Settings::m_nRawFourCC, 0, 1},
}};

constexpr const char* kRateNames[] = {"1.875fps", "3.75fps", "7.5fps", "15fps", "30fps"};

}  // namespace

CameraSession::CameraSession(QObject* parent) : QObject(parent) {
    m_driverWatch.setInterval(500);
    connect(&m_driverWatch, &QTimer::timeout, this, &CameraSession::WatchDriver);
}

CameraSession::~CameraSession() {
    if (m_state.m_bConnected) End();
    if (m_pClient) m_camera.UnregisterClient(m_pClient->Handle());
    m_camera.Close();
    m_pClient.reset();
    SaveSettings();
}

// ---- Settings ----

void CameraSession::LoadSettings() {
    QSettings settings("Tarnwell", "KestrixView");
    settings.beginGroup("Setting");
    for (const SettingRow& row : kSettings) {
        bool ok = false;
        const int value = settings.value(row.name, row.defaultValue).toInt(&ok);
        m_settings.*row.member =
            ok && value >= 0 && value <= row.maximum ? value : row.defaultValue;
    }
}

void CameraSession::SaveSettings() const {
    QSettings settings("Tarnwell", "KestrixView");
    settings.beginGroup("Setting");
    for (const SettingRow& row : kSettings) settings.setValue(row.name, m_settings.*row.member);
}

// ---- Opening and bus notices ----

bool CameraSession::Open() {
    LoadSettings();
    // The camera object's bus window lives on this thread's queue, dispatched by Qt's loop.
    platform::MessageQueue& queue = platform::MessageQueue::ForCurrentThread();
    m_pQueueNotifier = new QSocketNotifier(queue.Fd(), QSocketNotifier::Read, this);
    connect(m_pQueueNotifier, &QSocketNotifier::activated, this,
            [] { platform::MessageQueue::ForCurrentThread().DispatchPending(); });
    if (!m_camera.Open()) return false;
    m_camera.SetColorTables(false, false, 10);
    // The notice is handled from Qt's loop, not inside the queue's dispatch, since its handlers
    // may show a message box.
    m_pClient = platform::MessageEndpoint::Create([this](const platform::Message& message) {
        const std::uint32_t msg = message.msg;
        QMetaObject::invokeMethod(
            this, [this, msg] { OnCameraNotice(msg); }, Qt::QueuedConnection);
        return std::int64_t{0};
    });
    if (m_pClient) m_camera.RegisterClient(m_pClient->Handle(), WM_CAMERA_DEVICELIST);
    return true;
}

void CameraSession::OnCameraNotice(std::uint32_t message) {
    if (!m_state.m_bConnected) return;
    if (message == WM_CAMERA_DEVICELIST) emit ConnectionLost(Loss::DeviceList);
    if (message == WM_CAMERA_BUSRESET) emit ConnectionLost(Loss::BusReset);
}

void CameraSession::WatchDriver() {
    if (!m_state.m_bConnected) return;
    const CDcamCaptureThread* capture = m_camera.GetCaptureThread(m_state.m_nCamera);
    const std::uint64_t frames = capture != nullptr ? capture->GetStats().stored : 0;
    if (frames != m_nFramesSeen) {
        m_nFramesSeen = frames;
        return;
    }
    // The read waits at most the bus layer's request time-out (a second).
    C1394Dcam::DWORD value = 0;
    if (m_camera.ReadRegister(m_state.m_nCamera, camera::iidc::kIsoEnable, &value)) return;
    KX_LOG(App, Warn) << "the bus driver does not answer";
    m_bDriverLost = true;
    emit ConnectionLost(Loss::DriverGone);
}

// ---- Connection ----

void CameraSession::ResetState() {
    m_state.m_nCamera = 0;
    m_state.m_bConnected = m_state.m_bStreaming = false;
    m_state.m_bAviOpen = m_state.m_bAviRecording = false;
    m_state.m_nAviFrames = -1;
}

int CameraSession::CameraCount() { return m_camera.GetDeviceCount(C1394Dcam::kCameraDevices); }

void CameraSession::ApplyAccessUnit() { m_camera.SetAccessUnit(m_settings.m_nAccessUnit); }

bool CameraSession::ClaimCamera(QString& failure) {
    m_claim.Release();
    std::string error;
    const int camera = m_state.m_nCamera;
    const auto device = unsigned(m_camera.GetCameraDevice(camera));
    const CameraLock::Result claim =
        m_claim.Take(m_camera.GetDevicePath(device), m_camera.GetCameraGuid(camera), error);
    if (claim == CameraLock::Result::Taken) return true;
    if (claim != CameraLock::Result::InUse) {
        KX_LOG(App, Warn) << "the camera cannot be claimed: " << error;
    }
    failure = claim == CameraLock::Result::InUse ? "The camera is in use by another program."
                                                 : "Connection with the camera failed.";
    return false;
}

int CameraSession::PickedCamera() {
    const int cameras = CameraCount();
    if (m_pick.guid == 0) return m_pick.index < cameras ? m_pick.index : -1;
    for (int camera = 0; camera < cameras; ++camera) {
        if (m_camera.GetCameraGuid(camera) == m_pick.guid) return camera;
    }
    return -1;
}

bool CameraSession::SetUpMode(const std::function<bool()>& setMode, QString& failure) {
    // Checked before any register write: switching off another program's transmission would
    // cut its recording short.
    if (!ClaimCamera(failure)) {
        m_claim.Release();
        return false;
    }
    m_camera.StopTransmission(m_state.m_nCamera);
    if (!setMode()) {
        m_claim.Release();
        failure = "Video-mode setup failed.";
        return false;
    }
    m_state.m_bConnected = true;
    m_nFramesSeen = 0;
    m_driverWatch.start();
    return true;
}

bool CameraSession::Connect(const ViewerPrompts::VideoChoice& choice, QString& failure,
                            int camera) {
    m_state.m_nModeIndex = choice.nModeIndex;
    m_state.m_nFrameRate = choice.nFrameRate;
    m_state.m_nColorCoding = choice.nColorCoding;
    m_state.m_nImageWidth = choice.nWidth;
    m_state.m_nImageHeight = choice.nHeight;
    m_state.m_nCamera = camera;
    m_format.reset();
    return SetUpMode(
        [this] {
            if (m_state.m_nModeIndex >= 24) {
                const C1394Dcam::Rect area{0, 0, m_state.m_nImageWidth - 1,
                                           m_state.m_nImageHeight - 1};
                return m_camera.SetFormat7Mode(m_state.m_nCamera, m_state.m_nModeIndex,
                                               m_state.m_nColorCoding, &area);
            }
            return m_camera.SetVideoMode(m_state.m_nCamera, m_state.m_nModeIndex,
                                         m_state.m_nFrameRate, false);
        },
        failure);
}

bool CameraSession::ConnectFormat(int camera, const CameraFormatChoice& format, QString& failure) {
    m_state.m_nModeIndex = format.modeIndex;
    m_state.m_nFrameRate = format.Format7() ? 0 : format.rateIndex;
    m_state.m_nColorCoding = format.coding;
    m_state.m_nImageWidth = format.Width();
    m_state.m_nImageHeight = format.Height();
    m_state.m_nCamera = camera;
    m_format = format;
    return SetUpMode(
        [this, camera, &format] {
            if (!format.Format7())
                return m_camera.SetVideoMode(camera, format.modeIndex, format.rateIndex, false);
            const Format7Region& r = format.region;
            const C1394Dcam::Rect area{r.left, r.top, r.left + r.width - 1, r.top + r.height - 1};
            // The mode set-up sends the largest packets; the chosen size replaces them.
            const C1394Dcam::DWORD packet = C1394Dcam::DWORD(format.bytesPerPacket) << 16;
            return m_camera.SetFormat7Mode(camera, format.modeIndex, format.coding, &area) &&
                   m_camera.WriteFormat7Register(camera, format.modeIndex - 24,
                                                 camera::iidc::kBytePerPacket, &packet, false);
        },
        failure);
}

bool CameraSession::StartCapture() {
    const int camera = m_state.m_nCamera;
    m_nFrameBytes =
        std::size_t(m_state.m_nModeIndex < 24 ? C1394Dcam::GetModeFrameBytes(m_state.m_nModeIndex)
                                              : m_camera.GetFrameBytes(camera));
    const int percent = 10 * (m_settings.m_nBufferRate + 1);
    const int frames = m_state.m_nModeIndex < 24
                           ? m_camera.CalcBufferCount(m_state.m_nModeIndex, percent, 1)
                           : m_camera.CalcBufferCountForCamera(camera, percent, 1);
    m_state.m_nBufferCount = std::max(frames, 5);
    const int flags =
        (m_settings.m_nSyncSY == 1 ? 0x02 : 0) | (m_settings.m_nStreamMode == 1 ? 0x10 : 0);
    const int bus = m_settings.m_nBusSpeed;
    const int speed = m_format ? m_format->speed : bus == 0 || bus == 1 ? bus : 2;
    return m_nFrameBytes != 0 &&
           m_camera.StartCapture(camera, speed, flags, m_state.m_nBufferCount);
}

QString CameraSession::StartFailure() const {
    std::uint32_t needed = 0, left = 0;
    // A chosen format says why the bus refused it; the "VIDEO SETTING" path keeps its sentence.
    if (m_format && m_camera.GetBandwidthRefusal(&needed, &left)) {
        return QString(
                   "The bus cannot carry %1: it needs %2 bandwidth units (%3 %), the bus has "
                   "%4 left (%5 %).")
            .arg(m_format->Text())
            .arg(needed)
            .arg(BusBandwidth::Percent(needed), 0, 'f', 1)
            .arg(left)
            .arg(BusBandwidth::Percent(left), 0, 'f', 1);
    }
    return "Connection with the camera failed.";
}

void CameraSession::End() {
    m_driverWatch.stop();
    if (std::exchange(m_bDriverLost, false)) {
        m_camera.AbandonCapture(m_state.m_nCamera);
    } else {
        m_camera.StopTransmission(m_state.m_nCamera);
        m_camera.StopCapture(m_state.m_nCamera);
    }
    m_claim.Release();
    m_state.m_bConnected = m_state.m_bStreaming = false;
}

void CameraSession::StartTransmission() {
    m_camera.StartTransmission(m_state.m_nCamera, 0);
    m_state.m_bStreaming = true;
}

void CameraSession::StopTransmission() {
    m_camera.StopTransmission(m_state.m_nCamera);
    m_state.m_bStreaming = false;
}

// ---- Recording and stills ----

bool CameraSession::OpenAvi(const QString& path, bool convert) {
    if (!files::OpenAviFile(m_camera, m_state.m_nCamera, path.toLocal8Bit().constData(), convert,
                            m_settings.m_nRawFourCC == 1))
        return false;
    m_state.m_bAviOpen = true;
    m_state.m_bAviRecording = false;
    m_state.m_nAviFrames = 0;
    m_state.m_strAviPath = path;
    return true;
}

bool CameraSession::CloseAvi(QString& failure, bool& dropped) {
    const bool finished = files::CloseAviFile(m_camera, m_state.m_nCamera);
    dropped = files::GetAviDropped(m_camera, m_state.m_nCamera) != 0;
    m_state.m_bAviOpen = false;
    m_state.m_bAviRecording = false;
    if (!finished)
        failure = QString::fromStdString(files::GetAviErrorText(m_camera, m_state.m_nCamera));
    return finished;
}

bool CameraSession::StartAvi() {
    if (files::StartAviRecording(m_camera, m_state.m_nCamera)) m_state.m_bAviRecording = true;
    return m_state.m_bAviRecording;
}

void CameraSession::StopAvi() {
    files::PauseAviRecording(m_camera, m_state.m_nCamera);
    m_state.m_bAviRecording = false;
}

void CameraSession::RefreshAviFrames() {
    if (m_state.m_bAviOpen)
        m_state.m_nAviFrames = files::GetAviFrameCount(m_camera, m_state.m_nCamera);
}

bool CameraSession::SaveStill(const QString& path, bool jpeg, int slot) {
    const QByteArray file = path.toLocal8Bit();
    return jpeg ? files::SaveJpeg(m_camera, m_state.m_nCamera, file.constData(), 100, false, false,
                                  slot)
                : files::SaveBitmap(m_camera, m_state.m_nCamera, file.constData(), slot);
}

// ---- Figures ----

CameraSession::CaptureCounters CameraSession::Counters() const {
    CaptureCounters counters;
    if (const CDcamCaptureThread* thread = m_camera.GetCaptureThread(m_state.m_nCamera)) {
        const FrameRing::Stats stats = thread->GetStats();
        counters.received = stats.stored;
        counters.lost = stats.dropped;
    }
    if (m_state.m_bAviOpen) {
        counters.dropped =
            std::uint64_t(std::max(files::GetAviDropped(m_camera, m_state.m_nCamera), 0));
        counters.recorded = files::GetAviFrameCount(m_camera, m_state.m_nCamera);
    }
    return counters;
}

QString CameraSession::ModeText() const {
    if (m_format) return m_format->Text();
    const QString size = QString("%1x%2").arg(m_state.m_nImageWidth).arg(m_state.m_nImageHeight);
    const QString color = m_state.m_nColorCoding == 2 ? "YUV4:2:2" : "RGB";
    if (m_state.m_nModeIndex >= 24 && m_state.m_nModeIndex < 32)
        return QString("%1/%2/7.5fps").arg(size, color);
    if (m_state.m_nModeIndex >= 0 && m_state.m_nFrameRate >= 0 && m_state.m_nFrameRate <= 4)
        return QString("%1/%2/%3").arg(size, color, kRateNames[m_state.m_nFrameRate]);
    return {};
}

double CameraSession::ModeFps() const {
    if (m_format) return m_format->Fps();
    const bool fixed = m_state.m_nModeIndex >= 0 && m_state.m_nModeIndex < 24;
    return fixed && m_state.m_nFrameRate >= 0 && m_state.m_nFrameRate <= 4
               ? 1.875 * double(1 << m_state.m_nFrameRate)
               : 0.0;
}
