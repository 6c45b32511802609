// The camera view: connection and capture commands over the session, painting the pipeline's
// picture, scrolling and dragging.
#include "app/CCameraView.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

#include "app/QtPrompts.h"
#include "session/CameraInfo.h"
#include "dialogs/CAeSharpnessDlg.h"
#include "dialogs/CMaskingDlg.h"
#include "dialogs/CMiscParamDlg.h"
#include "dialogs/CStandardFeatureDlg.h"
#include "platform/Log.h"

namespace {

// The wait cursor for the life of a scope.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

}  // namespace

CCameraView::CCameraView(QWidget* parent, std::shared_ptr<ViewerPrompts> prompts,
                         ViewRateMeter::TickSource ticks)
    : QAbstractScrollArea(parent),
      m_pipeline(std::move(ticks)),
      m_pPrompts(prompts ? std::move(prompts) : std::make_shared<QtPrompts>()) {
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Sunken);
    setFocusPolicy(Qt::StrongFocus);
    // The picture covers what it paints; only the rest is filled, so nothing flickers.
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setCursor(Qt::ArrowCursor);
    for (auto [bar, orientation] : {std::pair{horizontalScrollBar(), Qt::Horizontal},
                                    std::pair{verticalScrollBar(), Qt::Vertical}}) {
        connect(bar, &QScrollBar::actionTriggered, this,
                [this, orientation](int action) { OnScrollAction(orientation, action); });
    }
    connect(&m_session, &CameraSession::ConnectionLost, this, &CCameraView::OnConnectionLost);
    connect(&m_session, &CameraSession::RecordAsEnded, this, &CCameraView::EndRecordAs);
    connect(&m_pipeline, &DisplayPipeline::FrameShown, this, &CCameraView::OnFrameShown);
    // Counted on the display thread, at most once per picture shown.
    m_pipeline.SetObserver([this](const QImage& picture, std::span<const std::uint8_t> raw) {
        auto histogram = std::make_shared<const Histogram>(
            Histogram::Count(picture, m_nHistogramCoding, raw, m_bHistogramOverlay));
        QMetaObject::invokeMethod(
            this, [this, histogram] { OnHistogram(histogram); }, Qt::QueuedConnection);
    });
    m_statisticsTimer.setInterval(500);
    connect(&m_statisticsTimer, &QTimer::timeout, this, &CCameraView::SampleStatistics);
    m_snapshotWriter.setMaxThreadCount(1);
    viewport()->setMouseTracking(true);
    if (m_options.fit)
        m_zoom.Fit({}, {});
    else
        m_zoom.SetScale(m_options.scale);
    ShowScrollBars();
    ResetState();
    UpdateScrollBars();
}

CCameraView::~CCameraView() {
    // The display thread reads the ring, so it ends before the session, destroyed last, ends the
    // capture, closes the camera and writes the settings.
    m_pipeline.Stop();
    m_snapshotWriter.waitForDone();
    CloseParamDialogs();
    m_options.scale = m_zoom.Scale();
    m_options.fit = m_zoom.Fitting();
    m_options.Save();
}

bool CCameraView::Create() {
    if (m_session.Open()) return true;
    Tell("Initialization of digital camera library was not completed.",
         ViewerPrompts::Icon::None);
    return false;
}

void CCameraView::OnConnectionLost(CameraSession::Loss loss) {
    Release();
    // A driver that died or stalled changed the devices the program can reach.
    Tell(loss == CameraSession::Loss::BusReset ? "The notice of busreset was detected."
                                               : "The notice of device change was detected.",
         ViewerPrompts::Icon::None);
}

void CCameraView::Tell(const QString& text, ViewerPrompts::Icon icon) {
    KX_LOG(App, Info) << "message: " << text.toStdString();
    m_pPrompts->Message(window(), text, icon);
}

void CCameraView::TellOverWait(const QString& text) {
    QApplication::restoreOverrideCursor();
    Tell(text, ViewerPrompts::Icon::Exclamation);
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

// ---- Connect and Release ----

void CCameraView::ResetState() {
    m_nVPage = m_nHPage = m_nVPos = m_nHPos = 0;
    m_pipeline.ResetState();
    m_session.ResetState();
    m_bDragging = false;
}

void CCameraView::OnConnect() {
    ResetState();
    m_session.ApplyAccessUnit();
    if (m_session.CameraCount() == 0) {
        Tell("The camera is not connected." +
                 (m_busProblem.isEmpty() ? QString() : "\n\n" + m_busProblem),
             ViewerPrompts::Icon::Exclamation);
        return;
    }
    int camera = m_session.PickedCamera();
    if (camera < 0) {
        const CameraSession::CameraPick& pick = m_session.Pick();
        Tell(pick.guid != 0 ? QString("The camera %1 is not on the bus.")
                                  .arg(QString::fromStdString(kestrix::session::CameraInfo::GuidText(pick.guid)))
                            : QString("There is no camera %1 on the bus.").arg(pick.index),
             ViewerPrompts::Icon::Exclamation);
        return;
    }
    // A format kept for this camera stands in for the "VIDEO SETTING" question, whose sizes are
    // the maker's: another maker's camera is asked for one of its own modes instead.
    std::optional<CameraFormatChoice> format =
        CameraFormatChoice::Load(Camera().GetCameraGuid(camera));
    if (!format && Camera().LacksVendorRegisters(camera)) {
        if (!PickFormat(camera)) return;
        format = CameraFormatChoice::Load(Camera().GetCameraGuid(camera));
    }
    ViewerPrompts::VideoChoice choice;
    if (format) {
        const QString problem =
            format->BandwidthProblem(CameraFormatChoice::UnitsLeft(Camera(), camera));
        if (!problem.isEmpty()) {
            Tell(problem, ViewerPrompts::Icon::Exclamation);
            return;
        }
    } else if (!m_pPrompts->ChooseVideoMode(window(), choice)) {
        return;
    }
    ConnectCamera(camera, format, choice);
    emit StateChanged();
}

void CCameraView::ConnectCamera(int camera, const std::optional<CameraFormatChoice>& format,
                                const ViewerPrompts::VideoChoice& choice) {
    WaitCursor wait;
    QString failure;
    const bool connected = format ? m_session.ConnectFormat(camera, *format, failure)
                                  : m_session.Connect(choice, failure, camera);
    if (!connected) {
        TellOverWait(failure);
        return;
    }
    AdaptWindowSize();
    SetTitle();
    StartCaptureAndDisplay();
}

void CCameraView::OnFormat() {
    int camera = m_session.PickedCamera();
    PickFormat(camera);
}

bool CCameraView::PickFormat(int& camera) {
    int chosen = camera;
    if (!m_pPrompts->ChooseCameraFormat(window(), Camera(), chosen, m_LastPicture)) return false;
    if (m_cameraClaim && !m_cameraClaim(chosen)) {
        Tell(QString("Camera %1 is shown by another KestrixView window.").arg(chosen),
             ViewerPrompts::Icon::Exclamation);
        return false;
    }
    m_session.SetCameraPick({chosen, Camera().GetCameraGuid(chosen)});
    camera = chosen;
    return true;
}

QSize CCameraView::Decoration() const {
    const int frame = 2 * frameWidth();
    if (verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOff) return {frame, frame};
    return {frame + verticalScrollBar()->sizeHint().width(),
            frame + horizontalScrollBar()->sizeHint().height()};
}

void CCameraView::AdaptWindowSize() {
    const QSize decoration = Decoration();
    m_nWindowWidth = m_nImageWidth + decoration.width();
    m_nWindowHeight = m_nImageHeight + decoration.height();
    emit ImageSizeChanged();
    UpdateScrollBars();
}

void CCameraView::SetTitle() {
    const QString title = window()->windowTitle().left(254);
    const QString mode = m_session.ModeText();
    m_strTitle = mode.isEmpty() ? title : QString("%1 [%2]").arg(title, mode);
    ShowRecordingInTitle();
}

void CCameraView::StartCaptureAndDisplay() {
    if (!m_session.StartCapture()) {
        TellOverWait(m_session.StartFailure());
        Release();
        return;
    }
    // The colour filter is read here, on the thread that owns the camera's registers.
    const BayerPattern bayer = m_nColorCoding == FrameConverter::Raw8
                                   ? Camera().GetBayerPattern(m_nCamera)
                                   : BayerPattern::None;
    m_pipeline.Start(m_session.Stream(), Camera().GetConverter(), m_nColorCoding, m_nImageWidth,
                     m_nImageHeight, m_session.FrameBytes(), bayer);
    m_statistics.Reset();
    m_nRawShown = ~std::uint64_t{0};
    m_pHistogram.reset();
    m_statisticsTimer.start();
    SampleStatistics();
}

void CCameraView::OnRelease() { Release(); }

void CCameraView::CloseParamDialogs() {
    m_pParamDlg.reset();
    m_pParamDlg2.reset();
    m_pParamDlg3.reset();
    m_pParamDlg4.reset();
}

void CCameraView::Release() {
    m_pipeline.Stop();
    if (!m_pipeline.Front().isNull()) m_LastPicture = m_pipeline.Front().copy();
    m_session.End();
    m_pipeline.Free();
    CloseParamDialogs();
    ResetState();
    m_statisticsTimer.stop();
    SampleStatistics();
    m_strTitle = "KestrixView";
    window()->setWindowTitle(m_strTitle);
    viewport()->update();
    UpdateScrollBars();
    emit StateChanged();
    emit Painted();
}

// ---- Display ----

void CCameraView::OnFrameShown(bool first) {
    viewport()->update();
    ArmHistogram();
    if (m_options.pixelValue) UpdatePixelValue();
    if (first) emit StateChanged();
}

void CCameraView::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    const QRect client = viewport()->rect();
    const QImage& picture = m_pipeline.Front();
    if (m_nCurrentIndex < 0 || picture.isNull()) {
        painter.fillRect(client, palette().base());
        return;
    }
    const QRect target(QPoint(-m_nHPos, -m_nVPos), m_zoom.Zoomed(picture.size()));
    // Scaled by the painter straight from the front picture: no copy per frame.
    if (target.size() == picture.size())
        painter.drawImage(target.topLeft(), picture);
    else
        painter.drawImage(target, picture);
    if (m_options.overexposure && m_pHistogram &&
        m_pHistogram->Overexposed().size() == picture.size())
        painter.drawImage(target, m_pHistogram->Overexposed());
    // Only what the picture leaves free is filled.
    const QRegion rest = QRegion(client) - QRegion(target);
    for (const QRect& rect : rest) painter.fillRect(rect, palette().base());
    painter.end();
    if (m_bStreaming) m_pipeline.CountPaint();
    m_session.RefreshAviFrames();
    emit Painted();
}

void CCameraView::RedrawNow() {
    viewport()->repaint();
    emit Painted();
}

void CCameraView::ShowSlot(int slot) {
    ArmHistogram();
    m_pipeline.ShowSlot(slot);
    RedrawNow();
    if (m_options.pixelValue) UpdatePixelValue();
}

void CCameraView::OnStart() {
    m_session.StartTransmission();
    m_pipeline.RestartRate();
    emit StateChanged();
}

void CCameraView::OnStop() {
    m_session.StopTransmission();
    m_pipeline.RestartRate();
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
    // The writers leave no partial file; the user still needs to know nothing was saved.
    if (!m_session.SaveStill(path, jpeg, m_nCurrentIndex))
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
    if (!m_session.OpenAvi(path, convert))
        Tell("AVI file has not been created.", ViewerPrompts::Icon::None);
    emit StateChanged();
    emit Painted();
}

void CCameraView::OnAviClose() {
    QString failure;
    bool dropped = false;
    const bool finished = m_session.CloseAvi(failure, dropped);
    ShowRecordingInTitle();
    emit StateChanged();
    emit Painted();
    // A write that failed (a full disk) must not pass for a good recording.
    if (!finished) {
        Tell(QString("The AVI file could not be written completely: %1").arg(failure),
             ViewerPrompts::Icon::Exclamation);
    }
    if (dropped) Tell("There was a dropped-frame in file capture.", ViewerPrompts::Icon::None);
}

void CCameraView::OnAviStart() {
    m_session.StartAvi();
    ShowRecordingInTitle();
    emit StateChanged();
}

void CCameraView::OnAviStop() {
    m_session.StopAvi();
    ShowRecordingInTitle();
    emit StateChanged();
}

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
    if (!fresh->Create(&m_session.Camera(), m_nCamera)) return;
    fresh->ShowBeside(window());
    dialog = std::move(fresh);
}

void CCameraView::OnParameters() { OpenParamDialog<CStandardFeatureDlg>(m_pParamDlg); }
void CCameraView::OnParameters2() { OpenParamDialog<CMaskingDlg>(m_pParamDlg2); }
void CCameraView::OnParameters3() { OpenParamDialog<CAeSharpnessDlg>(m_pParamDlg3); }
void CCameraView::OnParameters4() { OpenParamDialog<CMiscParamDlg>(m_pParamDlg4); }

// ---- Scrolling and dragging ----

void CCameraView::UpdateScrollBars() {
    const QSize client = viewport()->size();
    if (m_bConnected) m_zoom.Refit(client, {m_nImageWidth, m_nImageHeight});
    const QSize shown = ShownSize();
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
    setUp(horizontalScrollBar(), client.width(), shown.width(), m_nHPage, m_nHPos);
    setUp(verticalScrollBar(), client.height(), shown.height(), m_nVPage, m_nVPos);
}

void CCameraView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollBars();
}

void CCameraView::Scroll(Qt::Orientation orientation, int code, int requested) {
    const bool horizontal = orientation == Qt::Horizontal;
    int& pos = horizontal ? m_nHPos : m_nVPos;
    const int page = horizontal ? m_nHPage : m_nVPage;
    const int size = horizontal ? ShownSize().width() : ShownSize().height();
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
    m_ptPointer = event->position().toPoint();
    if (m_options.pixelValue) UpdatePixelValue();
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
