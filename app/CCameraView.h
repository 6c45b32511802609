// The camera view: the scroll area filling the main frame above its status bar. It owns the
// camera object and carries the whole connection: Connect and Release, the display thread and
// painting, scrolling and dragging, and the command handlers with their enable rules.
//
// Threading: everything runs on the window's thread, which opened the camera object and
// dispatches its message queue, except the display thread (DisplayLoop), which touches only
// m_bDisplayRun, the camera's frame readers and the back side of m_display.
#pragma once

#include <QAbstractScrollArea>
#include <QDialog>
#include <QPoint>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "app/DisplayHandOver.h"
#include "app/ViewRateMeter.h"
#include "app/ViewerPrompts.h"
#include "camera/C1394Dcam.h"
#include "camera/CameraLock.h"

class QMenu;
class QSocketNotifier;
class QScrollBar;
namespace platform {
class MessageEndpoint;
}

class CCameraView : public QAbstractScrollArea {
    Q_OBJECT
public:
    static constexpr std::uint32_t WM_CAMERA_DEVICELIST = 0x52D;
    static constexpr std::uint32_t WM_CAMERA_BUSRESET = 0x52E;

    // Scroll request codes, as the scroll handlers take them.
    enum ScrollCode {
        SB_LINELEFT,
        SB_LINERIGHT,
        SB_PAGELEFT,
        SB_PAGERIGHT,
        SB_THUMBTRACK,
        SB_OTHER
    };

    // prompts: where questions go (the Qt dialogs when null); ticks: the view-rate clock.
    explicit CCameraView(QWidget* parent, std::shared_ptr<ViewerPrompts> prompts = nullptr,
                         ViewRateMeter::TickSource ticks = {});
    ~CCameraView() override;  // ends any connection, closes the camera, writes the settings

    // Reads the settings and opens the camera library; false (after telling the user) when the
    // library cannot start, and the program should end.
    bool Create();

    // ---- Commands ----
    bool IsCommandEnabled(int id) const;
    bool IsCommandChecked(int id) const;
    // Runs the command when its enable rule holds; false when it did nothing.
    bool RunCommand(int id);
    // The key commands: true when the key is one of them (run or, when disabled, swallowed).
    bool HandleKey(int key, Qt::KeyboardModifiers modifiers);
    void SetContextMenu(QMenu* menu) { m_pContextMenu = menu; }

    void OnConnect();
    void OnRelease();
    void Release();
    void ResetState();
    void OnStart();
    void OnStop();
    void OnNext();
    void OnPrevious();
    void OnStillBitmap();
    void OnStillJpeg();
    void OnAviOpen();
    void OnAviClose();
    void OnAviStart();
    void OnAviStop();
    void OnParameters();
    void OnParameters2();
    void OnParameters3();
    void OnParameters4();
    void OnHScroll(int code, int pos);
    void OnVScroll(int code, int pos);

    // Sets the scroll pages and positions from the viewer's client size and the image size.
    void UpdateScrollBars();
    // The view's border and scroll bars: outer size minus client size.
    QSize Decoration() const;
    C1394Dcam& Camera() { return m_camera; }

    // ---- State, read by the main frame and tests ----
    int m_nVPage = 0, m_nHPage = 0;
    int m_nVPos = 0, m_nHPos = 0;
    float m_fViewRate = -1.0f;
    std::unique_ptr<QDialog> m_pParamDlg, m_pParamDlg2, m_pParamDlg3, m_pParamDlg4;
    int m_nCamera = 0;
    bool m_bConnected = false;
    bool m_bStreaming = false;
    bool m_bAviOpen = false, m_bAviRecording = false;
    int m_nAviFrames = -1;
    int m_nBufferCount = 0;
    int m_nCurrentIndex = -1;
    int m_nImageHeight = 0, m_nImageWidth = 0;
    int m_nWindowHeight = 0, m_nWindowWidth = 0;
    int m_nColorCoding = 0;
    int m_nFrameRate = 0;
    int m_nModeIndex = -1;
    bool m_bDragging = false;
    QPoint m_ptLast;
    int m_nBusSpeed = 2, m_nBufferRate = 4, m_nStreamMode = 0, m_nAccessUnit = 0, m_nSyncSY = 1;

signals:
    // Connection, streaming, frame or AVI state changed: commands and status need a refresh.
    void StateChanged();
    // Painted or redrawn: the status bar follows.
    void Painted();
    // Connect set a new image size: the frame fits itself to it.
    void ImageSizeChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    // One instance per dialog: a visible one gets the focus, a closed (hidden) one is replaced.
    template <class Dialog>
    void OpenParamDialog(std::unique_ptr<QDialog>& dialog);
    void LoadSettings();
    void SaveSettings() const;
    void OnCameraNotice(std::uint32_t message);
    // Connect's steps after the dialog; false when Connect ended there.
    bool SetUpMode();
    // Claims camera 0 against other programs; false (after telling the user) when it cannot.
    bool ClaimCamera();
    void AdaptWindowSize();
    void SetTitle();
    bool StartCaptureAndDisplay();
    void StopDisplayThread();
    void FreeBuffers();
    void DisplayLoop(int colorCoding, int width, int height, std::size_t frameBytes);
    // Takes the picture the display thread published.
    void OnFramePublished();
    // Shows ring slot `slot` now (Next and Previous).
    void ShowSlot(int slot);
    void RedrawNow();
    void SaveStill(bool jpeg);
    void Scroll(Qt::Orientation orientation, int code, int pos);
    void OnScrollAction(Qt::Orientation orientation, int action);
    void Tell(const QString& text, ViewerPrompts::Icon icon);

    std::shared_ptr<ViewerPrompts> m_pPrompts;
    C1394Dcam m_camera;
    // Held while connected, so that another program's capture is never cut short by ours.
    CameraLock m_claim;
    QSocketNotifier* m_pQueueNotifier = nullptr;
    std::unique_ptr<platform::MessageEndpoint> m_pClient;
    QMenu* m_pContextMenu = nullptr;

    DisplayHandOver m_display;
    // Raw frame and bitmap of the window's own conversions (Next, Previous).
    std::vector<std::uint8_t> m_FrameBuffer;
    std::vector<std::uint8_t> m_DisplayBits;
    std::thread m_displayThread;
    std::atomic<bool> m_bDisplayRun{false};
    ViewRateMeter m_rateMeter;
};
