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
        m_session.Settings().m_nBusSpeed = id - cmd::kSpeedFirst;
    else if (InGroup(id, cmd::kBufferFirst, cmd::kBufferLast))
        m_session.Settings().m_nBufferRate = id - cmd::kBufferFirst;
    else if (InGroup(id, cmd::kAccessFirst, cmd::kAccessLast))
        m_session.Settings().m_nAccessUnit = id - cmd::kAccessFirst;
    else if (InGroup(id, cmd::kStreamFirst, cmd::kStreamLast))
        m_session.Settings().m_nStreamMode = id - cmd::kStreamFirst;
    else if (InGroup(id, cmd::kSyncFirst, cmd::kSyncLast))
        m_session.Settings().m_nSyncSY = id - cmd::kSyncFirst;
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

