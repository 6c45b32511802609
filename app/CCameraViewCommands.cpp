// The camera view's command table: enable rules, check marks, dispatch and the key commands.
#include <QKeyEvent>

#include "app/CCameraView.h"
#include "app/CommandIds.h"

namespace {

bool InGroup(int id, int first, int last) { return id >= first && id <= last; }

}  // namespace

bool CCameraView::IsCommandEnabled(int id) const {
    const bool stoppedWithFrame = m_bConnected && !m_bStreaming && m_nCurrentIndex >= 0;
    switch (id) {
        case cmd::kConnect:
        case cmd::kFormat:
            return !m_bConnected;
        case cmd::kRelease:
            return m_bConnected;
        case cmd::kExit:
        case cmd::kAbout:
        case cmd::kActualSize:
        case cmd::kFitToWindow:
        case cmd::kFullScreen:
        case cmd::kHistogram:
        case cmd::kStatistics:
        case cmd::kPixelValue:
        case cmd::kSnapshotSettings:
            return true;
        case cmd::kZoomIn:
            return m_zoom.Fitting() || m_zoom.CanZoomIn();
        case cmd::kZoomOut:
            return m_zoom.Fitting() || m_zoom.CanZoomOut();
        case cmd::kSnapshot:
            return m_bConnected && m_nCurrentIndex >= 0;
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
        case cmd::kFeatures:
            return m_bConnected;
        case cmd::kAviOpen:
            return m_bConnected && !m_bAviOpen;
        case cmd::kAviClose:
            return m_bConnected && m_bAviOpen;
        case cmd::kAviStart:
            return m_bConnected && m_bAviOpen && !m_bAviRecording;
        case cmd::kAviStop:
            return m_bConnected && m_bAviOpen && m_bAviRecording;
        case cmd::kRecordAs:
            return m_session.RecordingAs() || (m_bConnected && m_session.Stream() != nullptr);
        case cmd::kSaveRingAs:
            return m_bConnected && m_session.Stream() != nullptr;
        case cmd::kFrameLog:
            return true;  // taken at the next recording
        default:
            break;
    }
    if (InGroup(id, cmd::kSpeedFirst, cmd::kSpeedLast) ||
        InGroup(id, cmd::kBufferFirst, cmd::kBufferLast) ||
        InGroup(id, cmd::kAccessFirst, cmd::kAccessLast) ||
        InGroup(id, cmd::kStreamFirst, cmd::kStreamLast) ||
        InGroup(id, cmd::kSyncFirst, cmd::kSyncLast))
        return !m_bConnected;
    // Taken at the next AVI Open, so it may change at any time.
    if (InGroup(id, cmd::kFourCCFirst, cmd::kFourCCLast)) return true;
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
    if (InGroup(id, cmd::kFourCCFirst, cmd::kFourCCLast))
        return m_nRawFourCC == id - cmd::kFourCCFirst;
    if (id == cmd::kRecordAs) return m_session.RecordingAs();
    if (id == cmd::kFrameLog) return m_session.Settings().m_nFrameLog == 1;
    if (id == cmd::kFitToWindow) return m_zoom.Fitting();
    if (id == cmd::kPixelValue) return m_options.pixelValue;
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
        case cmd::kFormat:
            OnFormat();
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
        case cmd::kRecordAs:
            OnRecordAs();
            return true;
        case cmd::kSaveRingAs:
            OnSaveRingAs();
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
        case cmd::kFeatures:
            emit FeaturesWanted();
            return true;
        case cmd::kZoomIn:
            OnZoomIn();
            return true;
        case cmd::kZoomOut:
            OnZoomOut();
            return true;
        case cmd::kActualSize:
            OnActualSize();
            return true;
        case cmd::kFitToWindow:
            OnFitToWindow();
            return true;
        case cmd::kPixelValue:
            OnPixelValue();
            return true;
        case cmd::kSnapshot:
            OnSnapshot();
            return true;
        case cmd::kSnapshotSettings:
            OnSnapshotSettings();
            return true;
        default:
            break;
    }
    if (InGroup(id, cmd::kSpeedFirst, cmd::kSpeedLast))
        m_session.Settings().m_nBusSpeed = id - cmd::kSpeedFirst;
    else if (InGroup(id, cmd::kBufferFirst, cmd::kBufferLast))
        m_session.Settings().m_nBufferRate = id - cmd::kBufferFirst;
    else if (InGroup(id, cmd::kAccessFirst, cmd::kAccessLast))
        m_session.Settings().m_nAccessUnit = id - cmd::kAccessFirst;
    else if (InGroup(id, cmd::kStreamFirst, cmd::kStreamLast))
        m_session.Settings().m_nStreamMode = id - cmd::kStreamFirst;
    else if (InGroup(id, cmd::kSyncFirst, cmd::kSyncLast))
        m_session.Settings().m_nSyncSY = id - cmd::kSyncFirst;
    else if (InGroup(id, cmd::kFourCCFirst, cmd::kFourCCLast))
        m_session.Settings().m_nRawFourCC = id - cmd::kFourCCFirst;
    else if (id == cmd::kFrameLog)
        m_session.Settings().m_nFrameLog = 1 - m_session.Settings().m_nFrameLog;
    else
        return false;  // Exit, About, Full Screen and the docks belong to the frame
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
            case Qt::Key_F12:
                RunCommand(cmd::kSnapshot);
                return true;
            default:
                return HandlePanKey(key);
        }
    }
    if (modifiers == Qt::ControlModifier && key == Qt::Key_S) {
        RunCommand(cmd::kOneShot);
        return true;
    }
    if (modifiers == Qt::ControlModifier && key == Qt::Key_E) {
        RunCommand(cmd::kFeatures);
        return true;
    }
    return HandleZoomKey(key, modifiers);
}

bool CCameraView::HandlePanKey(int key) {
    switch (key) {
        case Qt::Key_PageUp:
            Pan(Qt::Vertical, SB_PAGELEFT, -1);
            return true;
        case Qt::Key_PageDown:
            Pan(Qt::Vertical, SB_PAGERIGHT, 1);
            return true;
        case Qt::Key_Home:
        case Qt::Key_End:
            for (Qt::Orientation o : {Qt::Horizontal, Qt::Vertical})
                Pan(o, SB_OTHER, key == Qt::Key_Home ? -1 : 1);
            return true;
        default:
            return false;
    }
}

bool CCameraView::HandleZoomKey(int key, Qt::KeyboardModifiers modifiers) {
    // Ctrl++ needs Shift on many layouts.
    if (key == Qt::Key_Plus) modifiers &= ~Qt::ShiftModifier;
    if (modifiers != Qt::ControlModifier) return false;
    switch (key) {
        case Qt::Key_Plus:
        case Qt::Key_Equal:
            RunCommand(cmd::kZoomIn);
            return true;
        case Qt::Key_Minus:
            RunCommand(cmd::kZoomOut);
            return true;
        case Qt::Key_0:
            RunCommand(cmd::kActualSize);
            return true;
        case Qt::Key_F:
            RunCommand(cmd::kFitToWindow);
            return true;
        case Qt::Key_Left:
        case Qt::Key_Right:
            Pan(Qt::Horizontal, SB_THUMBTRACK, key == Qt::Key_Left ? -1 : 1);
            return true;
        case Qt::Key_Up:
        case Qt::Key_Down:
            Pan(Qt::Vertical, SB_THUMBTRACK, key == Qt::Key_Up ? -1 : 1);
            return true;
        default:
            return false;
    }
}

void CCameraView::keyPressEvent(QKeyEvent* event) {
    // Arrow keys are commands here, never scrolling.
    const bool keypadSign = (event->modifiers() & (Qt::KeypadModifier | Qt::ControlModifier)) ||
                            (event->key() != Qt::Key_Plus && event->key() != Qt::Key_Minus);
    if (keypadSign && HandleKey(event->key(), event->modifiers())) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

