// The camera view: connection, display, scrolling, dragging and the command handlers.
#include "app/CCameraView.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QSettings>
#include <QSocketNotifier>

#include <algorithm>
#include <array>
#include <chrono>

#include "app/CommandIds.h"
#include "app/QtPrompts.h"
#include "dialogs/CAeSharpnessDlg.h"
#include "dialogs/CMaskingDlg.h"
#include "dialogs/CMiscParamDlg.h"
#include "dialogs/CStandardFeatureDlg.h"
#include "platform/Log.h"
#include "platform/MessageEndpoint.h"
#include "platform/MessageQueue.h"

namespace {

constexpr int kAccessUnitBytes[] = {4, 8, 16, 32, 64, 128};
constexpr const char* kRateNames[] = {"1.875fps", "3.75fps", "7.5fps", "15fps", "30fps"};

struct SettingRow {
    const char* name;
    int CCameraView::*member;
    int defaultValue;
    int maximum;
};
constexpr std::array<SettingRow, 5> kSettings{{
    {"BusSpeed", &CCameraView::m_nBusSpeed, 2, 2},
    {"BufferRate", &CCameraView::m_nBufferRate, 4, 8},
    {"StreamMode", &CCameraView::m_nStreamMode, 0, 1},
    {"AccessUnit", &CCameraView::m_nAccessUnit, 0, 5},
    {"SyncSY", &CCameraView::m_nSyncSY, 1, 1},
}};

// The wait cursor for the life of a scope.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

bool InGroup(int id, int first, int last) { return id >= first && id <= last; }

}  // namespace

CCameraView::CCameraView(QWidget* parent, std::shared_ptr<ViewerPrompts> prompts,
                         ViewRateMeter::TickSource ticks)
    : QAbstractScrollArea(parent),
      m_pPrompts(prompts ? std::move(prompts) : std::make_shared<QtPrompts>()),
      m_rateMeter(ticks ? ViewRateMeter(std::move(ticks)) : ViewRateMeter()) {
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Sunken);
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // The picture covers what it paints; only the rest is filled, so nothing flickers.
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setCursor(Qt::ArrowCursor);
    for (auto [bar, orientation] : {std::pair{horizontalScrollBar(), Qt::Horizontal},
                                    std::pair{verticalScrollBar(), Qt::Vertical}}) {
        connect(bar, &QScrollBar::actionTriggered, this,
                [this, orientation](int action) { OnScrollAction(orientation, action); });
    }
    ResetState();
    UpdateScrollBars();
}

CCameraView::~CCameraView() {
    StopDisplayThread();
    if (m_bConnected) {
        m_camera.StopTransmission(0);
        m_camera.StopCapture(0);
        m_bConnected = false;
    }
    FreeBuffers();
    m_pParamDlg.reset();
    m_pParamDlg2.reset();
    m_pParamDlg3.reset();
    m_pParamDlg4.reset();
    if (m_pClient) m_camera.UnregisterClient(m_pClient->Handle());
    m_camera.Close();
    m_pClient.reset();
    SaveSettings();
}

// ---- Settings ----

void CCameraView::LoadSettings() {
    QSettings settings("Tarnwell", "KestrixView");
    settings.beginGroup("Setting");
    for (const SettingRow& row : kSettings) {
        bool ok = false;
        const int value = settings.value(row.name, row.defaultValue).toInt(&ok);
        this->*row.member = ok && value >= 0 && value <= row.maximum ? value : row.defaultValue;
    }
}

void CCameraView::SaveSettings() const {
    QSettings settings("Tarnwell", "KestrixView");
    settings.beginGroup("Setting");
    for (const SettingRow& row : kSettings) settings.setValue(row.name, this->*row.member);
}

// ---- Creation and bus notices ----

bool CCameraView::Create() {
    LoadSettings();
    // The camera object's bus window lives on this thread's queue, dispatched by Qt's loop.
    platform::MessageQueue& queue = platform::MessageQueue::ForCurrentThread();
    m_pQueueNotifier = new QSocketNotifier(queue.Fd(), QSocketNotifier::Read, this);
    connect(m_pQueueNotifier, &QSocketNotifier::activated, this,
            [] { platform::MessageQueue::ForCurrentThread().DispatchPending(); });
    if (!m_camera.Open()) {
        Tell("Initialization of digital camera library was not completed.",
             ViewerPrompts::Icon::None);
        return false;
    }
    m_camera.SetColorTables(false, false, 10);
    // The notice is handled from Qt's loop, not inside the queue's dispatch, since it may
    // show a message box.
    m_pClient = platform::MessageEndpoint::Create([this](const platform::Message& message) {
        const std::uint32_t msg = message.msg;
        QMetaObject::invokeMethod(
            this, [this, msg] { OnCameraNotice(msg); }, Qt::QueuedConnection);
        return std::int64_t{0};
    });
    if (m_pClient) m_camera.RegisterClient(m_pClient->Handle(), WM_CAMERA_DEVICELIST);
    return true;
}

void CCameraView::OnCameraNotice(std::uint32_t message) {
    if (!m_bConnected) return;
    if (message != WM_CAMERA_DEVICELIST && message != WM_CAMERA_BUSRESET) return;
    Release();
    Tell(message == WM_CAMERA_DEVICELIST ? "The notice of device change was detected."
                                         : "The notice of busreset was detected.",
         ViewerPrompts::Icon::None);
}

void CCameraView::Tell(const QString& text, ViewerPrompts::Icon icon) {
    KX_LOG(App, Info) << "message: " << text.toStdString();
    m_pPrompts->Message(window(), text, icon);
}

// ---- Connect and Release ----

void CCameraView::ResetState() {
    m_nVPage = m_nHPage = m_nVPos = m_nHPos = 0;
    m_fViewRate = -1.0f;
    m_nCamera = 0;
    m_bConnected = m_bStreaming = false;
    m_bAviOpen = m_bAviRecording = false;
    m_nAviFrames = -1;
    m_nCurrentIndex = -1;
    m_bDragging = false;
}

void CCameraView::OnConnect() {
    ResetState();
    m_camera.SetAccessUnit(m_nAccessUnit);
    if (m_camera.GetDeviceCount(C1394Dcam::kCameraDevices) == 0) {
        Tell("The camera is not connected.", ViewerPrompts::Icon::Exclamation);
        return;
    }
    ViewerPrompts::VideoChoice choice;
    if (!m_pPrompts->ChooseVideoMode(window(), choice)) return;
    {
        WaitCursor wait;
        m_nModeIndex = choice.nModeIndex;
        m_nFrameRate = choice.nFrameRate;
        m_nColorCoding = choice.nColorCoding;
        m_nImageWidth = choice.nWidth;
        m_nImageHeight = choice.nHeight;
        m_nCamera = 0;
        if (SetUpMode()) {
            AdaptWindowSize();
            SetTitle();
            StartCaptureAndDisplay();
        }
    }
    if (!m_bConnected) m_claim.Release();
    emit StateChanged();
}

bool CCameraView::ClaimCamera() {
    m_claim.Release();
    std::string error;
    const auto device = unsigned(m_camera.GetCameraDevice(0));
    const CameraLock::Result claim =
        m_claim.Take(m_camera.GetDevicePath(device), m_camera.GetCameraGuid(0), error);
    if (claim == CameraLock::Result::Taken) return true;
    if (claim != CameraLock::Result::InUse) {
        KX_LOG(App, Warn) << "the camera cannot be claimed: " << error;
    }
    QApplication::restoreOverrideCursor();  // the message must not show a wait cursor
    Tell(claim == CameraLock::Result::InUse ? "The camera is in use by another program."
                                            : "Connection with the camera failed.",
         ViewerPrompts::Icon::Exclamation);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    return false;
}

bool CCameraView::SetUpMode() {
    // Checked before any register write: switching off another program's transmission would
    // cut its recording short.
    if (!ClaimCamera()) return false;
    m_camera.StopTransmission(0);
    bool ok;
    if (m_nModeIndex >= 24) {
        const C1394Dcam::Rect area{0, 0, m_nImageWidth - 1, m_nImageHeight - 1};
        ok = m_camera.SetFormat7Mode(0, m_nModeIndex, m_nColorCoding, &area);
    } else {
        ok = m_camera.SetVideoMode(0, m_nModeIndex, m_nFrameRate, false);
    }
    if (!ok) {
        QApplication::restoreOverrideCursor();  // the message must not show a wait cursor
        Tell("Video-mode setup failed.", ViewerPrompts::Icon::Exclamation);
        QApplication::setOverrideCursor(Qt::WaitCursor);
    }
    return ok;
}

QSize CCameraView::Decoration() const {
    const int frame = 2 * frameWidth();
    return {frame + verticalScrollBar()->sizeHint().width(),
            frame + horizontalScrollBar()->sizeHint().height()};
}

void CCameraView::AdaptWindowSize() {
    const QSize decoration = Decoration();
    m_nWindowWidth = m_nImageWidth + decoration.width();
    m_nWindowHeight = m_nImageHeight + decoration.height();
    m_bConnected = true;
    emit ImageSizeChanged();
    UpdateScrollBars();
}

void CCameraView::SetTitle() {
    const QString title = window()->windowTitle().left(254);
    const QString size = QString("%1x%2").arg(m_nImageWidth).arg(m_nImageHeight);
    const QString color = m_nColorCoding == 2 ? "YUV4:2:2" : "RGB";
    QString text = title;
    if (m_nModeIndex >= 24 && m_nModeIndex < 32) {
        text = QString("%1 [%2/%3/7.5fps]").arg(title, size, color);
    } else if (m_nModeIndex >= 0 && m_nFrameRate >= 0 && m_nFrameRate <= 4) {
        text = QString("%1 [%2/%3/%4]").arg(title, size, color, kRateNames[m_nFrameRate]);
    }
    window()->setWindowTitle(text);
}

bool CCameraView::StartCaptureAndDisplay() {
    const std::size_t frameBytes = std::size_t(
        m_nModeIndex < 24 ? C1394Dcam::GetModeFrameBytes(m_nModeIndex) : m_camera.GetFrameBytes(0));
    const std::size_t bitmapBytes = std::size_t(m_nImageWidth) * std::size_t(m_nImageHeight) * 3;
    m_display.Allocate(m_nImageWidth, m_nImageHeight);
    m_FrameBuffer.assign(frameBytes, 0);
    m_DisplayBits.assign(bitmapBytes, 0);

    const int percent = 10 * (m_nBufferRate + 1);
    int frames = m_nModeIndex < 24 ? m_camera.CalcBufferCount(m_nModeIndex, percent, 1)
                                   : m_camera.CalcBufferCountForCamera(0, percent, 1);
    m_nBufferCount = std::max(frames, 5);
    const int flags = (m_nSyncSY == 1 ? 0x02 : 0) | (m_nStreamMode == 1 ? 0x10 : 0);
    const int speed = m_nBusSpeed == 0 || m_nBusSpeed == 1 ? m_nBusSpeed : 2;
    if (frameBytes == 0 || !m_camera.StartCapture(0, speed, flags, m_nBufferCount)) {
        QApplication::restoreOverrideCursor();
        Tell("Connection with the camera failed.", ViewerPrompts::Icon::Exclamation);
        QApplication::setOverrideCursor(Qt::WaitCursor);
        Release();
        return false;
    }
    m_bDisplayRun = true;
    m_displayThread = std::thread(&CCameraView::DisplayLoop, this, m_nColorCoding, m_nImageWidth,
                                  m_nImageHeight, frameBytes);
    return true;
}

void CCameraView::OnRelease() { Release(); }

void CCameraView::StopDisplayThread() {
    m_bDisplayRun = false;
    if (m_displayThread.joinable()) m_displayThread.join();
}

void CCameraView::FreeBuffers() {
    m_display.Free();
    m_FrameBuffer = {};
    m_DisplayBits = {};
}

void CCameraView::Release() {
    StopDisplayThread();
    m_camera.StopTransmission(0);
    m_camera.StopCapture(0);
    m_claim.Release();
    FreeBuffers();
    m_pParamDlg.reset();
    m_pParamDlg2.reset();
    m_pParamDlg3.reset();
    m_pParamDlg4.reset();
    ResetState();
    window()->setWindowTitle("KestrixView");
    viewport()->update();
    UpdateScrollBars();
    emit StateChanged();
    emit Painted();
}

// ---- Display ----

void CCameraView::DisplayLoop(int colorCoding, int width, int height, std::size_t frameBytes) {
    std::vector<std::uint8_t> frame(frameBytes);
    std::vector<std::uint8_t> bits(std::size_t(width) * std::size_t(height) * 3);
    while (m_bDisplayRun) {
        if (m_camera.WaitForFrame(0, 100) < 0) continue;
        const int slot = m_camera.GetFrame(0, frame.data(), -1);
        if (slot < 0) {
            // The capture went (a device change): nothing to wait on until Release stops us.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        m_camera.ConvertToBitmap(colorCoding, bits.data(), frame.data(), width, height);
        DisplayHandOver::LayBitmap(bits.data(), m_display.Back());
        if (m_display.Publish(slot))
            QMetaObject::invokeMethod(this, &CCameraView::OnFramePublished, Qt::QueuedConnection);
    }
}

void CCameraView::OnFramePublished() {
    int slot = -1;
    if (!m_bDisplayRun || !m_display.TakePending(slot)) return;
    const bool first = m_nCurrentIndex < 0;
    m_nCurrentIndex = slot;
    viewport()->update();
    if (first) emit StateChanged();
}

void CCameraView::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    const QRect client = viewport()->rect();
    if (m_nCurrentIndex < 0 || m_display.Front().isNull()) {
        painter.fillRect(client, palette().base());
        return;
    }
    const QPoint origin(-m_nHPos, -m_nVPos);
    painter.drawImage(origin, m_display.Front());
    // Only what the picture leaves free is filled.
    const QRegion rest = QRegion(client) - QRegion(QRect(origin, m_display.Front().size()));
    for (const QRect& rect : rest) painter.fillRect(rect, palette().base());
    painter.end();
    if (m_bStreaming) m_rateMeter.Step(m_fViewRate);
    if (m_bAviOpen) m_nAviFrames = m_camera.GetAviFrameCount(0);
    emit Painted();
}

void CCameraView::RedrawNow() {
    viewport()->repaint();
    emit Painted();
}

void CCameraView::ShowSlot(int slot) {
    m_nCurrentIndex = slot;
    m_camera.GetFrame(0, m_FrameBuffer.data(), slot);
    m_camera.ConvertToBitmap(m_nColorCoding, m_DisplayBits.data(), m_FrameBuffer.data(),
                             m_nImageWidth, m_nImageHeight);
    // A frame the display thread still publishes must not replace the slot asked for.
    m_display.DropPending();
    DisplayHandOver::LayBitmap(m_DisplayBits.data(), m_display.Front());
    RedrawNow();
}

void CCameraView::OnStart() {
    m_camera.StartTransmission(0, 0);
    m_bStreaming = true;
    m_fViewRate = -1.0f;
    emit StateChanged();
}

void CCameraView::OnStop() {
    m_camera.StopTransmission(0);
    m_bStreaming = false;
    m_fViewRate = -1.0f;
    RedrawNow();
    emit StateChanged();
}

void CCameraView::OnNext() {
    ShowSlot(m_nCurrentIndex + 1 >= m_nBufferCount ? 0 : m_nCurrentIndex + 1);
}

void CCameraView::OnPrevious() {
    ShowSlot(m_nCurrentIndex - 1 < 0 ? m_nBufferCount - 1 : m_nCurrentIndex - 1);
}

// ---- Stills and AVI ----

void CCameraView::SaveStill(bool jpeg) {
    const QString path =
        jpeg ? m_pPrompts->SaveFileName(window(), "Capture Still Image [JPEG]",
                                        "jpeg (*.jpg)|*.jpg|All files (*.*)|*.*||", "jpg")
             : m_pPrompts->SaveFileName(window(), "Capture Still Image [BITMAP]",
                                        "Bitmap (*.BMP)|*.bmp|All files (*.*)|*.*||", "bmp");
    if (path.isEmpty()) return;
    const QByteArray file = path.toLocal8Bit();
    const bool saved =
        jpeg ? m_camera.SaveJpeg(0, file.constData(), 100, false, false, m_nCurrentIndex)
             : m_camera.SaveBitmap(0, file.constData(), m_nCurrentIndex);
    // The writers leave no partial file; the user still needs to know nothing was saved.
    if (!saved)
        Tell(QString("The still image could not be saved as %1.").arg(path),
             ViewerPrompts::Icon::Exclamation);
}

void CCameraView::OnStillBitmap() { SaveStill(false); }
void CCameraView::OnStillJpeg() { SaveStill(true); }

void CCameraView::OnAviOpen() {
    const QString path = m_pPrompts->SaveFileName(
        window(), "Open AVI file", "Microsoft AVI|*.avi|All files (*.*)|*.*||", "avi");
    if (path.isEmpty()) return;
    const bool convert =
        m_pPrompts->AskYesNo(window(), "Do you want to make a non-compressed AVI file?");
    if (m_camera.OpenAviFile(0, path.toLocal8Bit().constData(), convert)) {
        m_bAviOpen = true;
        m_bAviRecording = false;
        m_nAviFrames = 0;
    } else {
        Tell("AVI file has not been created.", ViewerPrompts::Icon::None);
    }
    emit StateChanged();
    emit Painted();
}

void CCameraView::OnAviClose() {
    const bool finished = m_camera.CloseAviFile(0);
    const int dropped = m_camera.GetAviDropped(0);
    m_bAviOpen = false;
    m_bAviRecording = false;
    emit StateChanged();
    emit Painted();
    // A write that failed (a full disk) must not pass for a good recording.
    if (!finished) {
        Tell(QString("The AVI file could not be written completely: %1")
                 .arg(QString::fromStdString(m_camera.GetAviErrorText(0))),
             ViewerPrompts::Icon::Exclamation);
    }
    if (dropped != 0) Tell("There was a dropped-frame in file capture.", ViewerPrompts::Icon::None);
}

void CCameraView::OnAviStart() {
    if (m_camera.StartAviRecording(0)) m_bAviRecording = true;
    emit StateChanged();
}

void CCameraView::OnAviStop() {
    m_camera.PauseAviRecording(0);
    m_bAviRecording = false;
    emit StateChanged();
}

// ---- Commands ----

// ---- Parameter dialogs ----

template <class Dialog>
void CCameraView::OpenParamDialog(std::unique_ptr<QDialog>& dialog) {
    if (dialog && dialog->isVisible()) {
        dialog->raise();
        dialog->activateWindow();
        return;
    }
    dialog.reset();
    auto fresh = std::make_unique<Dialog>(this);
    if (!fresh->Create(&m_camera, 0)) return;
    fresh->show();
    dialog = std::move(fresh);
}

void CCameraView::OnParameters() { OpenParamDialog<CStandardFeatureDlg>(m_pParamDlg); }
void CCameraView::OnParameters2() { OpenParamDialog<CMaskingDlg>(m_pParamDlg2); }
void CCameraView::OnParameters3() { OpenParamDialog<CAeSharpnessDlg>(m_pParamDlg3); }
void CCameraView::OnParameters4() { OpenParamDialog<CMiscParamDlg>(m_pParamDlg4); }

bool CCameraView::IsCommandEnabled(int id) const {
    const bool stoppedWithFrame = m_bConnected && !m_bStreaming && m_nCurrentIndex >= 0;
    switch (id) {
        case cmd::kConnect:
            return !m_bConnected;
        case cmd::kRelease:
            return m_bConnected;
        case cmd::kExit:
        case cmd::kAbout:
            return true;
        case cmd::kStart:
            return m_bConnected && !m_bStreaming;
        case cmd::kStop:
            return m_bConnected && m_bStreaming;
        case cmd::kNext:
        case cmd::kPrevious:
        case cmd::kStillBitmap:
        case cmd::kStillJpeg:
            return stoppedWithFrame;
        case cmd::kParameters:
        case cmd::kParameters2:
        case cmd::kParameters3:
        case cmd::kParameters4:
            return m_bConnected;
        case cmd::kAviOpen:
            return m_bConnected && !m_bAviOpen;
        case cmd::kAviClose:
            return m_bConnected && m_bAviOpen;
        case cmd::kAviStart:
            return m_bConnected && m_bAviOpen && !m_bAviRecording;
        case cmd::kAviStop:
            return m_bConnected && m_bAviOpen && m_bAviRecording;
        default:
            break;
    }
    if (InGroup(id, cmd::kSpeedFirst, cmd::kSpeedLast) ||
        InGroup(id, cmd::kBufferFirst, cmd::kBufferLast) ||
        InGroup(id, cmd::kAccessFirst, cmd::kAccessLast) ||
        InGroup(id, cmd::kStreamFirst, cmd::kStreamLast) ||
        InGroup(id, cmd::kSyncFirst, cmd::kSyncLast))
        return !m_bConnected;
    // OneShot and the keypad keys.
    return false;
}

bool CCameraView::IsCommandChecked(int id) const {
    if (InGroup(id, cmd::kSpeedFirst, cmd::kSpeedLast)) return m_nBusSpeed == id - cmd::kSpeedFirst;
    if (InGroup(id, cmd::kBufferFirst, cmd::kBufferLast))
        return m_nBufferRate == id - cmd::kBufferFirst;
    if (InGroup(id, cmd::kAccessFirst, cmd::kAccessLast))
        return m_nAccessUnit == id - cmd::kAccessFirst;
    if (InGroup(id, cmd::kStreamFirst, cmd::kStreamLast))
        return m_nStreamMode == id - cmd::kStreamFirst;
    if (InGroup(id, cmd::kSyncFirst, cmd::kSyncLast)) return m_nSyncSY == id - cmd::kSyncFirst;
    return false;
}

bool CCameraView::RunCommand(int id) {
    if (!IsCommandEnabled(id)) return false;
    switch (id) {
        case cmd::kConnect:
            OnConnect();
            return true;
        case cmd::kRelease:
            OnRelease();
            return true;
        case cmd::kStart:
            OnStart();
            return true;
        case cmd::kStop:
            OnStop();
            return true;
        case cmd::kNext:
            OnNext();
            return true;
        case cmd::kPrevious:
            OnPrevious();
            return true;
        case cmd::kStillBitmap:
            OnStillBitmap();
            return true;
        case cmd::kStillJpeg:
            OnStillJpeg();
            return true;
        case cmd::kAviOpen:
            OnAviOpen();
            return true;
        case cmd::kAviClose:
            OnAviClose();
            return true;
        case cmd::kAviStart:
            OnAviStart();
            return true;
        case cmd::kAviStop:
            OnAviStop();
            return true;
        case cmd::kParameters:
            OnParameters();
            return true;
        case cmd::kParameters2:
            OnParameters2();
            return true;
        case cmd::kParameters3:
            OnParameters3();
            return true;
        case cmd::kParameters4:
            OnParameters4();
            return true;
        default:
            break;
    }
    if (InGroup(id, cmd::kSpeedFirst, cmd::kSpeedLast))
        m_nBusSpeed = id - cmd::kSpeedFirst;
    else if (InGroup(id, cmd::kBufferFirst, cmd::kBufferLast))
        m_nBufferRate = id - cmd::kBufferFirst;
    else if (InGroup(id, cmd::kAccessFirst, cmd::kAccessLast))
        m_nAccessUnit = id - cmd::kAccessFirst;
    else if (InGroup(id, cmd::kStreamFirst, cmd::kStreamLast))
        m_nStreamMode = id - cmd::kStreamFirst;
    else if (InGroup(id, cmd::kSyncFirst, cmd::kSyncLast))
        m_nSyncSY = id - cmd::kSyncFirst;
    else
        return false;  // Exit and About belong to the frame
    emit StateChanged();
    return true;
}

bool CCameraView::HandleKey(int key, Qt::KeyboardModifiers modifiers) {
    modifiers &= ~Qt::KeypadModifier;
    if (modifiers == Qt::NoModifier) {
        switch (key) {
            case Qt::Key_Up:
                RunCommand(cmd::kStart);
                return true;
            case Qt::Key_Down:
                RunCommand(cmd::kStop);
                return true;
            case Qt::Key_Right:
                RunCommand(cmd::kNext);
                return true;
            case Qt::Key_Left:
                RunCommand(cmd::kPrevious);
                return true;
            case Qt::Key_Plus:
                RunCommand(cmd::kNext4x1);
                return true;
            case Qt::Key_Minus:
                RunCommand(cmd::kPrevious4x1);
                return true;
            default:
                return false;
        }
    }
    if (modifiers == Qt::ControlModifier && key == Qt::Key_S) {
        RunCommand(cmd::kOneShot);
        return true;
    }
    return false;
}

void CCameraView::keyPressEvent(QKeyEvent* event) {
    // Arrow keys are commands here, never scrolling.
    const bool keypadSign = (event->modifiers() & Qt::KeypadModifier) ||
                            (event->key() != Qt::Key_Plus && event->key() != Qt::Key_Minus);
    if (keypadSign && HandleKey(event->key(), event->modifiers())) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

// ---- Scrolling and dragging ----

void CCameraView::UpdateScrollBars() {
    const QSize client = viewport()->size();
    auto setUp = [this](QScrollBar* bar, int c, int s, int& page, int& pos) {
        if (m_bConnected && c < s) {
            page = c;
            pos = std::min(pos, s - c - 1);
        } else {
            page = pos = 0;
        }
        const QSignalBlocker block(bar);
        bar->setRange(0, page != 0 ? s - page : 0);
        bar->setPageStep(std::max(page, 1));
        bar->setSingleStep(page / 100);
        bar->setValue(pos);
        bar->setEnabled(page != 0);
    };
    setUp(horizontalScrollBar(), client.width(), m_nImageWidth, m_nHPage, m_nHPos);
    setUp(verticalScrollBar(), client.height(), m_nImageHeight, m_nVPage, m_nVPos);
}

void CCameraView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollBars();
}

void CCameraView::Scroll(Qt::Orientation orientation, int code, int requested) {
    const bool horizontal = orientation == Qt::Horizontal;
    int& pos = horizontal ? m_nHPos : m_nVPos;
    const int page = horizontal ? m_nHPage : m_nVPage;
    const int size = horizontal ? m_nImageWidth : m_nImageHeight;
    int step = 0;
    switch (code) {
        case SB_LINELEFT:
            step = -(page / 100);
            break;
        case SB_LINERIGHT:
            step = page / 100;
            break;
        case SB_PAGELEFT:
            step = -page;
            break;
        case SB_PAGERIGHT:
            step = page;
            break;
        case SB_THUMBTRACK:
            if (page == 0) return;
            step = requested - pos;
            break;
        default:
            return;
    }
    const int newPos = std::clamp(pos + step, 0, std::max(size - page, 0));
    if (newPos == pos) return;
    pos = newPos;
    QScrollBar* bar = horizontal ? horizontalScrollBar() : verticalScrollBar();
    const QSignalBlocker block(bar);
    bar->setValue(pos);
    viewport()->update();
}

void CCameraView::OnHScroll(int code, int pos) { Scroll(Qt::Horizontal, code, pos); }
void CCameraView::OnVScroll(int code, int pos) { Scroll(Qt::Vertical, code, pos); }

void CCameraView::OnScrollAction(Qt::Orientation orientation, int action) {
    QScrollBar* bar = orientation == Qt::Horizontal ? horizontalScrollBar() : verticalScrollBar();
    int code = SB_OTHER;
    switch (action) {
        case QAbstractSlider::SliderSingleStepSub:
            code = SB_LINELEFT;
            break;
        case QAbstractSlider::SliderSingleStepAdd:
            code = SB_LINERIGHT;
            break;
        case QAbstractSlider::SliderPageStepSub:
            code = SB_PAGELEFT;
            break;
        case QAbstractSlider::SliderPageStepAdd:
            code = SB_PAGERIGHT;
            break;
        case QAbstractSlider::SliderMove:
            code = SB_THUMBTRACK;
            break;
        default:
            break;
    }
    Scroll(orientation, code, bar->sliderPosition());
    // Our arithmetic decides where the bar ends, not the bar's own.
    bar->setSliderPosition(orientation == Qt::Horizontal ? m_nHPos : m_nVPos);
}

void CCameraView::scrollContentsBy(int, int) {
    // Positions are set by Scroll; the bar only reports what it was told.
    viewport()->update();
}

void CCameraView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && m_bConnected && m_nCurrentIndex >= 0) {
        viewport()->setCursor(Qt::SizeAllCursor);
        m_ptLast = event->position().toPoint();
        m_bDragging = true;
    }
    QAbstractScrollArea::mousePressEvent(event);
}

void CCameraView::mouseMoveEvent(QMouseEvent* event) {
    QAbstractScrollArea::mouseMoveEvent(event);
    if (!m_bDragging) return;
    QPoint point = event->position().toPoint();
    // At an edge the reference point stays, so the picture moves again only once the pointer
    // comes back past it.
    if (point.x() != m_ptLast.x()) {
        const int before = m_nHPos;
        OnHScroll(SB_THUMBTRACK, m_ptLast.x() - point.x() + m_nHPos);
        if (m_nHPos == before) point.setX(m_ptLast.x());
    }
    if (point.y() != m_ptLast.y()) {
        const int before = m_nVPos;
        OnVScroll(SB_THUMBTRACK, m_ptLast.y() - point.y() + m_nVPos);
        if (m_nVPos == before) point.setY(m_ptLast.y());
    }
    m_ptLast = point;
}

void CCameraView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        viewport()->setCursor(Qt::ArrowCursor);
        m_bDragging = false;
    }
    QAbstractScrollArea::mouseReleaseEvent(event);
}

void CCameraView::contextMenuEvent(QContextMenuEvent* event) {
    if (!m_bConnected || m_pContextMenu == nullptr) return;
    // Right-aligned at the point, as the Control menu pops up.
    const QPoint at = event->globalPos() - QPoint(m_pContextMenu->sizeHint().width(), 0);
    m_pContextMenu->popup(at);
}
