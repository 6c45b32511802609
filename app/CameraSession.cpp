// The viewer's camera session: connection, capture, recording, bus notices and settings.
#include "app/CameraSession.h"

#include <QSettings>
#include <QSocketNotifier>

#include <algorithm>
#include <array>
#include <utility>

#include "camera/BusBandwidth.h"
#include "files/CameraFiles.h"
#include "platform/Log.h"
#include "platform/MessageQueue.h"

namespace {

namespace session = kestrix::session;

struct SettingRow {
    const char* name;
    int CameraSession::TransferSettings::*member;
    int defaultValue;
    int maximum;
};
using Settings = CameraSession::TransferSettings;
constexpr std::array<SettingRow, 7> kSettings{{
    {"BusSpeed", &Settings::m_nBusSpeed, 2, 2},
    {"BufferRate", &Settings::m_nBufferRate, 4, 8},
    {"StreamMode", &Settings::m_nStreamMode, 0, 1},
    {"AccessUnit", &Settings::m_nAccessUnit, 0, 5},
    {"SyncSY", &Settings::m_nSyncSY, 1, 1},
    {"RawAviFourCC", &Settings::m_nRawFourCC, 0, 1},
    {"FrameLog", &Settings::m_nFrameLog, 1, 1},
}};

constexpr const char* kRateNames[] = {"1.875fps", "3.75fps", "7.5fps", "15fps", "30fps"};

}  // namespace

CameraSession::CameraSession(QObject* parent) : QObject(parent) {
    m_driverWatch.setInterval(500);
    connect(&m_driverWatch, &QTimer::timeout, this, &CameraSession::WatchDriver);
    m_recorderPoll.setInterval(kestrix::record::Recorder::kFeaturePoll);
    connect(&m_recorderPoll, &QTimer::timeout, this, &CameraSession::PollRecorder);
}

CameraSession::~CameraSession() {
    if (m_state.m_bConnected) End();
    m_pManager.reset();
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
    // The camera manager runs on this thread's queue, dispatched by Qt's loop.
    platform::MessageQueue& queue = platform::MessageQueue::ForCurrentThread();
    m_pQueueNotifier = new QSocketNotifier(queue.Fd(), QSocketNotifier::Read, this);
    connect(m_pQueueNotifier, &QSocketNotifier::activated, this,
            [] { platform::MessageQueue::ForCurrentThread().DispatchPending(); });
    session::Error error;
    m_pManager = session::CameraManager::Create(session::CameraManager::Threading::CallerThread,
                                                error);
    if (!m_pManager) return false;
    Camera().SetColorTables(false, false, 10);
    // The notice is handled from Qt's loop, not inside the queue's dispatch, since its handlers
    // may show a message box.
    m_pManager->SetNoticeHandler([this](session::CameraManager::Notice notice) {
        QMetaObject::invokeMethod(
            this, [this, notice] { OnCameraNotice(notice); }, Qt::QueuedConnection);
    });
    return true;
}

void CameraSession::OnCameraNotice(session::CameraManager::Notice notice) {
    if (!m_state.m_bConnected) return;
    emit ConnectionLost(notice == session::CameraManager::Notice::DeviceChange ? Loss::DeviceList
                                                                              : Loss::BusReset);
}

void CameraSession::WatchDriver() {
    if (!m_state.m_bConnected || !m_pStream) return;
    const session::Error end = m_pStream->Watch();
    if (!m_pStream->Ended()) return;
    // The notices of a reset or a device change tell the user themselves; anything else ended
    // the stream without a notice, which a dead or stalled driver does.
    KX_LOG(App, Warn) << "the stream ended: " << end.Message();
    switch (end.GetKind()) {
        case session::Error::Kind::Unplugged:
            emit ConnectionLost(Loss::DeviceList);
            break;
        case session::Error::Kind::BusReset:
            emit ConnectionLost(Loss::BusReset);
            break;
        default:
            emit ConnectionLost(Loss::DriverGone);
            break;
    }
}

// ---- Connection ----

void CameraSession::ResetState() {
    m_state.m_nCamera = 0;
    m_state.m_bConnected = m_state.m_bStreaming = false;
    m_state.m_bAviOpen = m_state.m_bAviRecording = false;
    m_state.m_nAviFrames = -1;
}

int CameraSession::CameraCount() { return Camera().GetDeviceCount(C1394Dcam::kCameraDevices); }

void CameraSession::ApplyAccessUnit() { Camera().SetAccessUnit(m_settings.m_nAccessUnit); }

int CameraSession::PickedCamera() {
    const int cameras = CameraCount();
    if (m_pick.guid == 0) return m_pick.index < cameras ? m_pick.index : -1;
    for (int camera = 0; camera < cameras; ++camera) {
        if (Camera().GetCameraGuid(camera) == m_pick.guid) return camera;
    }
    return -1;
}

bool CameraSession::SetUpMode(const session::StreamConfig& config, QString& failure) {
    // Claimed before any register write: switching off another program's transmission would
    // cut its recording short.
    m_pCamera.reset();
    session::Error error;
    m_pCamera = m_pManager->Acquire(session::CameraPick{m_state.m_nCamera, {}}, error);
    if (!m_pCamera) {
        if (error.GetKind() != session::Error::Kind::InUse) {
            KX_LOG(App, Warn) << "the camera cannot be claimed: " << error.Message();
        }
        failure = error.GetKind() == session::Error::Kind::InUse
                      ? "The camera is in use by another program."
                      : "Connection with the camera failed.";
        return false;
    }
    if (m_pCamera->Configure(config)) {
        m_pCamera.reset();
        failure = "Video-mode setup failed.";
        return false;
    }
    m_state.m_bConnected = true;
    m_driverWatch.start();
    return true;
}

// The stream settings both connection paths share: the transfer settings and the ring.
session::StreamConfig CameraSession::BaseConfig() const {
    session::StreamConfig config;
    config.sync = m_settings.m_nSyncSY == 1;
    config.packetMode = m_settings.m_nStreamMode == 1;
    const int bus = m_settings.m_nBusSpeed;
    config.speed = bus == 0 || bus == 1 ? bus : 2;
    config.ring = session::RingSize::MemoryShare(10 * (m_settings.m_nBufferRate + 1));
    return config;
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
    session::StreamConfig config = BaseConfig();
    config.mode.modeIndex = choice.nModeIndex;
    config.mode.colorCoding = choice.nColorCoding;
    config.mode.width = choice.nWidth;
    config.mode.height = choice.nHeight;
    config.rateIndex = choice.nFrameRate;
    return SetUpMode(config, failure);
}

bool CameraSession::ConnectFormat(int camera, const CameraFormatChoice& format, QString& failure) {
    m_state.m_nModeIndex = format.modeIndex;
    m_state.m_nFrameRate = format.Format7() ? 0 : format.rateIndex;
    m_state.m_nColorCoding = format.coding;
    m_state.m_nImageWidth = format.Width();
    m_state.m_nImageHeight = format.Height();
    m_state.m_nCamera = camera;
    m_format = format;
    return SetUpMode(format.Config(BaseConfig()), failure);
}

bool CameraSession::StartCapture() {
    m_pStream.reset();
    m_state.m_nBufferCount = 0;
    if (!m_pCamera) return false;
    m_nFrameBytes = std::size_t(m_state.m_nModeIndex < 24
                                    ? C1394Dcam::GetModeFrameBytes(m_state.m_nModeIndex)
                                    : Camera().GetFrameBytes(m_state.m_nCamera));
    if (m_nFrameBytes == 0) return false;
    // Control > Start switches the transmission on.
    m_startError = m_pCamera->Start(m_pStream, false);
    if (m_startError) return false;
    m_state.m_nBufferCount = m_pStream->Ring()->GetSlotCount();
    return true;
}

QString CameraSession::StartFailure() const {
    // A chosen format says why the bus refused it; the "VIDEO SETTING" path keeps its sentence.
    if (m_format && m_startError.GetKind() == session::Error::Kind::NoBandwidth) {
        const std::uint32_t needed = m_startError.Needed(), left = m_startError.Left();
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
    QString ignored;  // the connection's end is told already
    StopRecordAs(ignored);
    // A stream that ended because the driver stopped answering is dropped without asking it.
    m_pStream.reset();
    m_pCamera.reset();
    m_state.m_bConnected = m_state.m_bStreaming = false;
}

void CameraSession::StartTransmission() {
    if (m_pCamera) m_pCamera->SetTransmission(true);
    m_state.m_bStreaming = true;
}

void CameraSession::StopTransmission() {
    if (m_pCamera) m_pCamera->SetTransmission(false);
    m_state.m_bStreaming = false;
}

// ---- Recording and stills ----

bool CameraSession::OpenAvi(const QString& path, bool convert) {
    if (!files::OpenAviFile(Camera(), m_state.m_nCamera, path.toLocal8Bit().constData(), convert,
                              m_settings.m_nRawFourCC == 1))
        return false;
    m_state.m_bAviOpen = true;
    m_state.m_bAviRecording = false;
    m_state.m_nAviFrames = 0;
    m_state.m_strAviPath = path;
    return true;
}

bool CameraSession::CloseAvi(QString& failure, bool& dropped) {
    const bool finished = files::CloseAviFile(Camera(), m_state.m_nCamera);
    dropped = files::GetAviDropped(Camera(), m_state.m_nCamera) != 0;
    m_state.m_bAviOpen = false;
    m_state.m_bAviRecording = false;
    if (!finished) failure = QString::fromStdString(files::GetAviErrorText(Camera(), m_state.m_nCamera));
    return finished;
}

bool CameraSession::StartAvi() {
    if (files::StartAviRecording(Camera(), m_state.m_nCamera)) m_state.m_bAviRecording = true;
    return m_state.m_bAviRecording;
}

void CameraSession::StopAvi() {
    files::PauseAviRecording(Camera(), m_state.m_nCamera);
    m_state.m_bAviRecording = false;
}

void CameraSession::RefreshAviFrames() {
    if (m_state.m_bAviOpen) m_state.m_nAviFrames = files::GetAviFrameCount(Camera(), m_state.m_nCamera);
}

bool CameraSession::SaveStill(const QString& path, bool jpeg, int slot) {
    const QByteArray file = path.toLocal8Bit();
    return jpeg ? files::SaveJpeg(Camera(), m_state.m_nCamera, file.constData(), 100, false, false, slot)
                : files::SaveBitmap(Camera(), m_state.m_nCamera, file.constData(), slot);
}

// ---- Figures ----

CameraSession::CaptureCounters CameraSession::Counters() {
    CaptureCounters counters;
    if (m_pStream) {
        const session::StreamCounters stream = m_pStream->Counters();
        counters.received = stream.received;
        counters.lost = stream.lost;
        counters.shortFrames = stream.shortFrames;
    }
    if (m_pRecorder) {
        const auto figures = m_pRecorder->GetFigures();
        counters.dropped = figures.dropped;
        counters.recorded = std::int64_t(figures.frames);
    } else if (m_state.m_bAviOpen) {
        counters.dropped = std::uint64_t(std::max(files::GetAviDropped(Camera(), m_state.m_nCamera), 0));
        counters.recorded = files::GetAviFrameCount(Camera(), m_state.m_nCamera);
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

// ---- Record As ----

bool CameraSession::SetupFor(const QString& path, kestrix::record::RecordingSetup& setup,
                             QString& failure) {
    if (!m_pCamera || !m_pStream) {
        failure = "No capture runs.";
        return false;
    }
    setup = kestrix::record::RecordingSetup::Of(*m_pCamera, path.toStdString());
    setup.frameLog = m_settings.m_nFrameLog == 1;
    return true;
}

bool CameraSession::StartRecordAs(const QString& path, QString& failure) {
    kestrix::record::RecordingSetup setup;
    if (m_pRecorder || !SetupFor(path, setup, failure)) return false;
    std::string error;
    m_pRecorder = kestrix::record::Recorder::Start(m_pStream->Reader(), std::move(setup), error);
    if (!m_pRecorder) {
        failure = QString::fromStdString(error);
        return false;
    }
    m_strRecordPath = path;
    m_recorderPoll.start();
    return true;
}

bool CameraSession::StopRecordAs(QString& failure) {
    if (!m_pRecorder) return true;
    m_recorderPoll.stop();
    std::string error;
    const bool finished = m_pRecorder->Stop(error);
    m_pRecorder.reset();
    if (!finished) failure = QString::fromStdString(error);
    return finished;
}

kestrix::record::Recorder::Figures CameraSession::RecordAsFigures() const {
    return m_pRecorder ? m_pRecorder->GetFigures() : kestrix::record::Recorder::Figures{};
}

void CameraSession::PollRecorder() {
    if (!m_pRecorder || !m_pCamera) return;
    if (m_pRecorder->GetFigures().done) {
        m_recorderPoll.stop();
        emit RecordAsEnded();
        return;
    }
    // The parameter dialogs and the Features dock change features on this thread: their
    // changes reach the log from here.
    std::vector<session::Feature> features;
    if (m_settings.m_nFrameLog == 1 && !m_pCamera->Features(features))
        m_pRecorder->NoteFeatures(features);
}
