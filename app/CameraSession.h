// The viewer's camera session: the session layer's camera manager on the window's thread, the
// claimed camera and its stream, transmission, the AVI recorder, the bus notices and the five
// transfer settings. It shows nothing and asks nothing: failures come back as the message the
// user should read, and a lost connection as the ConnectionLost signal, so any front end can
// drive it.
//
// Threading: the window's thread only (it runs the camera manager and dispatches its message
// queue). Readers of frames (the display pipeline) use Stream() from their own thread.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "app/CameraFormatChoice.h"
#include "app/ViewerPrompts.h"
#include "camera/C1394Dcam.h"
#include "record/Recorder.h"
#include "session/Camera.h"
#include "session/CameraManager.h"
#include "session/FrameStream.h"

class QSocketNotifier;

class CameraSession : public QObject {
    Q_OBJECT
public:
    static constexpr std::uint32_t WM_CAMERA_DEVICELIST = 0x52D;
    static constexpr std::uint32_t WM_CAMERA_BUSRESET = 0x52E;

    // The transfer settings the next connection uses, and the FourCC style (0 the camera's,
    // 1 the standard one) of the next raw AVI file, persisted between runs.
    struct TransferSettings {
        int m_nBusSpeed = 2, m_nBufferRate = 4, m_nStreamMode = 0, m_nAccessUnit = 0,
            m_nSyncSY = 1;
        int m_nRawFourCC = 0;
        int m_nFrameLog = 1;  // Record As writes FILE.csv and FILE.json beside the file
    };
    // The connection's state; members without a reset value keep the last connection's.
    struct State {
        int m_nCamera = 0;
        bool m_bConnected = false;
        bool m_bStreaming = false;
        bool m_bAviOpen = false, m_bAviRecording = false;
        int m_nAviFrames = -1;
        QString m_strAviPath;  // of the file open
        int m_nBufferCount = 0;
        int m_nImageHeight = 0, m_nImageWidth = 0;
        int m_nColorCoding = 0;
        int m_nFrameRate = 0;
        int m_nModeIndex = -1;
    };
    // The capture's frame counters; every figure the viewer shows is read here. received,
    // lost and shortFrames are the stream's (docs/session.md); dropped is the recorder's.
    struct CaptureCounters {
        std::uint64_t received = 0;     // stored in the ring
        std::uint64_t lost = 0;         // never reached the ring
        std::uint64_t shortFrames = 0;  // arrived incomplete, shown with their tail zeroed
        std::uint64_t dropped = 0;      // overwritten in the ring before the recorder copied them
        std::int64_t recorded = 0;      // in the file open
    };
    // The camera the viewer uses: by GUID when one is given, else by index in the camera table.
    struct CameraPick {
        int index = 0;
        std::uint64_t guid = 0;
    };
    // Why a connection ended without being asked to.
    enum class Loss { DeviceList, BusReset, DriverGone };
    Q_ENUM(Loss)

    explicit CameraSession(QObject* parent = nullptr);
    ~CameraSession() override;  // ends any connection, closes the camera, writes the settings

    // Reads the settings and opens the camera library; false when the library cannot start.
    bool Open();

    const State& Now() const { return m_state; }
    TransferSettings& Settings() { return m_settings; }
    const TransferSettings& Settings() const { return m_settings; }
    // The camera object (after Open), for the dialogs and pickers that need it whole.
    C1394Dcam& Camera() { return m_pManager->Device(); }
    // The running stream, null while none runs.
    const std::shared_ptr<kestrix::session::FrameStream>& Stream() const { return m_pStream; }

    // Back to the idle state, freeing nothing.
    void ResetState();
    int CameraCount();
    void SetCameraPick(const CameraPick& pick) { m_pick = pick; }
    const CameraPick& Pick() const { return m_pick; }
    // The picked camera's index now; -1 when it is not on the bus.
    int PickedCamera();
    // Sets the access unit the settings name, for the register transfers that follow.
    void ApplyAccessUnit();
    // Claims camera index `camera` and sets the chosen mode; on success the session is
    // connected. On failure `failure` says why and nothing stays claimed.
    bool Connect(const ViewerPrompts::VideoChoice& choice, QString& failure, int camera = 0);
    // The same with a "Camera Format" choice, on camera index `camera`.
    bool ConnectFormat(int camera, const CameraFormatChoice& format, QString& failure);
    // Starts reception into a ring sized by the settings; false when the capture cannot start.
    bool StartCapture();
    // What the user should read after StartCapture failed.
    QString StartFailure() const;
    // Bytes of one raw frame of the capture started last.
    std::size_t FrameBytes() const { return m_nFrameBytes; }
    // Stops transmission and reception and lets the camera go: no longer connected.
    void End();

    void StartTransmission();
    void StopTransmission();

    // The AVI recorder of the connected camera.
    bool OpenAvi(const QString& path, bool convert);
    // Closes the file; false with `failure` set when its writes failed. `dropped`: frames were
    // dropped while recording.
    bool CloseAvi(QString& failure, bool& dropped);
    bool StartAvi();
    void StopAvi();
    // Reads the recorder's frame count while a file is open.
    void RefreshAviFrames();

    // What a recording of the running capture into `path` needs to know; false with `failure`
    // set while no capture runs.
    bool SetupFor(const QString& path, kestrix::record::RecordingSetup& setup, QString& failure);
    // Record As: the recording layer's recorder on the running stream, in the format the name
    // chooses, on a reader of its own beside the display's. False with `failure` set, the recorder's sentence, when it cannot start.
    bool StartRecordAs(const QString& path, QString& failure);
    // Writes what the ring still holds and finishes the file; false with `failure` set when the
    // recording failed anywhere.
    bool StopRecordAs(QString& failure);
    bool RecordingAs() const { return m_pRecorder != nullptr; }
    const QString& RecordAsPath() const { return m_strRecordPath; }
    kestrix::record::Recorder::Figures RecordAsFigures() const;

    CaptureCounters Counters();
    // The mode as the title shows it ("640x480/RGB/15fps"); empty before a mode is known.
    QString ModeText() const;
    // The mode's nominal frame rate; 0 for a Format 7 mode of "VIDEO SETTING".
    double ModeFps() const;

    // Writes ring slot `slot` as a still; false when nothing was saved.
    bool SaveStill(const QString& path, bool jpeg, int slot);

signals:
    // The bus ended the connection; the session stays connected until the caller ends it.
    void ConnectionLost(CameraSession::Loss loss);
    // The Record As recorder stopped by itself (a failure, the stream's end).
    void RecordAsEnded();

private:
    void LoadSettings();
    void SaveSettings() const;
    void OnCameraNotice(kestrix::session::CameraManager::Notice notice);
    // Claims the camera against other programs (so that another program's capture is never cut
    // short by ours) and sets its mode; connected on success.
    bool SetUpMode(const kestrix::session::StreamConfig& config, QString& failure);
    kestrix::session::StreamConfig BaseConfig() const;
    // A bus driver that died or stalled sends no notice: twice a second while connected, the
    // stream's watch tells (new frames, or an answered register read, prove it alive).
    void WatchDriver();
    // Twice a second while recording: the camera's features for the frame log (the manager runs
    // on this thread, so the recorder cannot read them itself), and whether it stopped.
    void PollRecorder();

    std::shared_ptr<kestrix::session::CameraManager> m_pManager;
    std::shared_ptr<kestrix::session::Camera> m_pCamera;
    std::shared_ptr<kestrix::session::FrameStream> m_pStream;
    kestrix::session::Error m_startError;  // of the last StartCapture
    State m_state;
    CameraPick m_pick;
    std::optional<CameraFormatChoice> m_format;  // of the connection, when Camera Format chose
    std::size_t m_nFrameBytes = 0;
    TransferSettings m_settings;
    QSocketNotifier* m_pQueueNotifier = nullptr;
    QTimer m_driverWatch;
    std::unique_ptr<kestrix::record::Recorder> m_pRecorder;
    QString m_strRecordPath;
    QTimer m_recorderPoll;
};
