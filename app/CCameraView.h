// The camera view: the scroll area filling the main frame above its status bar. It paints the
// display pipeline's picture, scrolls and drags it, and carries the command handlers with their
// enable rules, which drive the camera session (connection, capture, recording, bus notices)
// and the display pipeline (display thread, hand-over, view rate). It holds both for the
// program's life.
//
// Threading: the window's thread only; the display thread belongs to the pipeline.
#pragma once

#include <QAbstractScrollArea>
#include <QDialog>
#include <QPoint>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "app/CameraSession.h"
#include "app/DisplayPipeline.h"
#include "app/Histogram.h"
#include "app/StatisticsSampler.h"
#include "app/ViewOptions.h"
#include "app/ViewZoom.h"
#include "app/ViewRateMeter.h"
#include "app/ViewerPrompts.h"

class QMenu;
class QScrollBar;

class CCameraView : public QAbstractScrollArea {
    Q_OBJECT
    // Declared first: the state names below refer into them.
    CameraSession m_session;
    DisplayPipeline m_pipeline;

public:
    static constexpr std::uint32_t WM_CAMERA_DEVICELIST = CameraSession::WM_CAMERA_DEVICELIST;
    static constexpr std::uint32_t WM_CAMERA_BUSRESET = CameraSession::WM_CAMERA_BUSRESET;

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
    // Asked before Camera Format makes another camera (index) the viewer's: false when another
    // copy of the program shows that camera. Without it any camera may be picked.
    using CameraClaim = std::function<bool(int camera)>;
    void SetCameraClaim(CameraClaim claim) { m_cameraClaim = std::move(claim); }
    // Why no bus serves (no FireWire controller, say), told with Connect's "not connected".
    void SetBusProblem(QString problem) { m_busProblem = std::move(problem); }

    void OnConnect();
    // Camera > Format...: the camera and the format the next Connect uses.
    void OnFormat();
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
    void OnRecordAs();
    void OnSaveRingAs();
    // The Record As recorder stopped: by itself, or asked; failures are told.
    void EndRecordAs();
    void OnParameters();
    void OnParameters2();
    void OnParameters3();
    void OnParameters4();
    void OnHScroll(int code, int pos);
    void OnVScroll(int code, int pos);

    // ---- The View menu (CCameraViewZoom.cpp) ----
    void OnZoomIn();
    void OnZoomOut();
    void OnActualSize();
    void OnFitToWindow();
    void OnPixelValue();
    void OnSnapshot();
    void OnSnapshotSettings();
    // Keyboard panning: by a tenth of the page, a page, or to either end.
    void Pan(Qt::Orientation orientation, int code, int direction);
    ViewZoom& Zoom() { return m_zoom; }
    ViewOptions& Options() { return m_options; }
    // The image's size on screen at the current zoom.
    QSize ShownSize() const;
    // Whether pictures go to the histogram (its dock shows, or the overlay is on).
    void SetHistogramWanted(bool wanted);
    // The overexposure overlay on the picture.
    void SetOverexposure(bool on);
    // The latest histogram; null before the first.
    const std::shared_ptr<const Histogram>& LastHistogram() const { return m_pHistogram; }
    // The figures of the last sample (twice a second while connected); SampleStatistics takes
    // one now.
    const ViewerStatistics& Statistics() const { return m_statistics.Last(); }
    const ViewerStatistics& SampleStatistics();

    // Sets the scroll pages and positions from the viewer's client size and the image size.
    void UpdateScrollBars();
    // The view's border and scroll bars: outer size minus client size.
    QSize Decoration() const;

    CameraSession& Session() { return m_session; }
    DisplayPipeline& Pipeline() { return m_pipeline; }
    C1394Dcam& Camera() { return m_session.Camera(); }

    // ---- State, read by the main frame and tests ----
    int m_nVPage = 0, m_nHPage = 0;
    int m_nVPos = 0, m_nHPos = 0;
    std::unique_ptr<QDialog> m_pParamDlg, m_pParamDlg2, m_pParamDlg3, m_pParamDlg4;
    int m_nWindowHeight = 0, m_nWindowWidth = 0;
    bool m_bDragging = false;
    QPoint m_ptLast;
    // The pipeline's and the session's state under the names the commands use.
    const float& m_fViewRate = m_pipeline.ViewRate();
    const int& m_nCurrentIndex = m_pipeline.CurrentIndex();
    const int& m_nCamera = m_session.Now().m_nCamera;
    const bool& m_bConnected = m_session.Now().m_bConnected;
    const bool& m_bStreaming = m_session.Now().m_bStreaming;
    const bool& m_bAviOpen = m_session.Now().m_bAviOpen;
    const bool& m_bAviRecording = m_session.Now().m_bAviRecording;
    const int& m_nAviFrames = m_session.Now().m_nAviFrames;
    const int& m_nBufferCount = m_session.Now().m_nBufferCount;
    const int& m_nImageHeight = m_session.Now().m_nImageHeight;
    const int& m_nImageWidth = m_session.Now().m_nImageWidth;
    const int& m_nColorCoding = m_session.Now().m_nColorCoding;
    const int& m_nFrameRate = m_session.Now().m_nFrameRate;
    const int& m_nModeIndex = m_session.Now().m_nModeIndex;
    const int& m_nBusSpeed = m_session.Settings().m_nBusSpeed;
    const int& m_nBufferRate = m_session.Settings().m_nBufferRate;
    const int& m_nStreamMode = m_session.Settings().m_nStreamMode;
    const int& m_nAccessUnit = m_session.Settings().m_nAccessUnit;
    const int& m_nSyncSY = m_session.Settings().m_nSyncSY;
    const int& m_nRawFourCC = m_session.Settings().m_nRawFourCC;

signals:
    // Connection, streaming, frame or AVI state changed: commands and status need a refresh.
    void StateChanged();
    // Painted or redrawn: the status bar follows.
    void Painted();
    // Connect set a new image size: the frame fits itself to it.
    void ImageSizeChanged();
    // Control > Features (Ctrl+E) while connected: the frame shows or hides its Features dock.
    void FeaturesWanted();
    // The pixel-value pane's text changed (empty: nothing under the pointer).
    void PixelValueChanged(const QString& text);
    // A snapshot was written.
    void SnapshotSaved(const QString& path);
    void HistogramUpdated();
    void StatisticsUpdated();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void leaveEvent(QEvent* event) override;

private:
    // One instance per dialog: a visible one gets the focus, a closed (hidden) one is replaced.
    template <class Dialog>
    void OpenParamDialog(std::unique_ptr<QDialog>& dialog);
    void OnConnectionLost(CameraSession::Loss loss);
    bool HandlePanKey(int key);
    bool HandleZoomKey(int key, Qt::KeyboardModifiers modifiers);
    void AdaptWindowSize();
    void SetTitle();
    void StartCaptureAndDisplay();
    // Sets the mode (the kept format of the camera, else the "VIDEO SETTING" choice) and starts.
    void ConnectCamera(int camera, const std::optional<CameraFormatChoice>& format,
                       const ViewerPrompts::VideoChoice& choice);
    // Asks "Camera Format" starting at camera; true with the camera chosen, which is then the
    // viewer's.
    bool PickFormat(int& camera);
    void CloseParamDialogs();
    void OnFrameShown(bool first);
    // Shows ring slot `slot` now (Next and Previous).
    void ShowSlot(int slot);
    void RedrawNow();
    void SaveStill(bool jpeg);
    void Scroll(Qt::Orientation orientation, int code, int pos);
    void OnScrollAction(Qt::Orientation orientation, int action);
    void Tell(const QString& text, ViewerPrompts::Icon icon);
    // Tells while Connect's wait cursor shows, which the message must not show.
    void TellOverWait(const QString& text);
    // The title's recording suffix follows the recorder.
    void ShowRecordingInTitle();
    // A new scale, keeping the picture's point at the window's centre where it was.
    void ApplyZoom(const std::function<void()>& change);
    void ShowScrollBars();
    void UpdatePixelValue();
    // The raw frame of the picture shown, fetched once per picture (PixelProbe::NeedsRaw).
    std::span<const std::uint8_t> RawShown();
    void ArmHistogram();
    void OnHistogram(std::shared_ptr<const Histogram> histogram);
    void OnSnapshotDone(const QString& path, const QString& error);

    std::shared_ptr<ViewerPrompts> m_pPrompts;
    QImage m_LastPicture;  // the last connection's last picture, for Camera Format
    QMenu* m_pContextMenu = nullptr;
    CameraClaim m_cameraClaim;
    QString m_busProblem;
    QString m_strTitle = "KestrixView";  // without the recording suffix
    ViewOptions m_options = ViewOptions::Load();
    ViewZoom m_zoom;
    QPoint m_ptPointer{-1, -1};  // last pointer position in the window; -1: outside
    std::vector<std::uint8_t> m_RawShown;
    std::uint64_t m_nRawShown = ~std::uint64_t{0};  // FramesShown() when m_RawShown was read
    bool m_bHistogramWanted = false;
    std::atomic<int> m_nHistogramCoding{0};
    std::atomic<bool> m_bHistogramOverlay{false};
    std::shared_ptr<const Histogram> m_pHistogram;
    StatisticsSampler m_statistics;
    QTimer m_statisticsTimer;
    QThreadPool m_snapshotWriter;  // one thread: snapshots are written in order
};
