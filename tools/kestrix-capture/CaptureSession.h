// One run of kestrix-capture on one camera, on the session layer (docs/session.md): features
// read or set, the camera claimed and its stream started as every front end starts it, frames
// recorded, stills saved of the run's last frame, one summary (a line, or a JSON object),
// everything released.
//
// Threading: the camera manager runs the camera object on the thread that runs the session
// (CallerThread), which pumps it while it waits, so that bus notices reach it.
#pragma once

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "camera/CameraFeatures.h"
#include "record/GroupRecorder.h"
#include "session/Camera.h"
#include "session/CameraGroup.h"
#include "session/CameraManager.h"
#include "session/FrameStream.h"
#include "tools/kestrix-capture/CaptureOptions.h"
#include "tools/kestrix-capture/CaptureRecorder.h"
#include "tools/kestrix-capture/CaptureRecording.h"
#include "tools/kestrix-capture/CaptureStill.h"
#include "tools/kestrix-capture/CaptureSummary.h"
#include "tools/kestrix-capture/CaptureTrigger.h"
#include "tools/kestrix-capture/GroupSummary.h"

class CaptureSession {
public:
    // stopSignal is set to the signal's number by a signal handler; the session then finishes
    // its file, releases the camera and ends with status 128 + that number.
    CaptureSession(const CaptureOptions& options, const std::atomic<int>& stopSignal);
    ~CaptureSession();  // stops the stream and lets the camera go
    CaptureSession(const CaptureSession&) = delete;
    CaptureSession& operator=(const CaptureSession&) = delete;

    // The exit status (ExitCodes.h); every failure has printed one line on stderr. With --json
    // a summary object goes to stdout whatever the outcome.
    int Run();

private:
    using Clock = std::chrono::steady_clock;

    // Reports a failure; the first one decides the exit status, which is returned.
    int Fail(int code, const std::string& message);
    // Reports a stop signal once it came.
    bool Interrupted();
    int RunSteps();
    bool CheckOutputs();
    bool OpenCamera();
    // The camera of the pick, claimed when capturing; null, reported, when it cannot be had.
    std::shared_ptr<kestrix::session::Camera> Claim(const kestrix::session::CameraPick& pick,
                                                    bool capturing);
    // Reports why no camera of the pick is on the bus.
    void NoCamera(const kestrix::session::Error& error, const kestrix::session::CameraPick& pick);
    bool ApplyFeatures();
    bool ApplyFeatures(kestrix::session::Camera& camera);
    bool ApplyTrigger();
    bool ReadFeatures();
    bool FeatureOutcome(const CameraFeatures::Outcome& outcome);
    bool Connect();
    // The configuration the options ask of the camera; false, reported, for a mode it lacks.
    bool MakeConfig(kestrix::session::Camera& camera, kestrix::session::StreamConfig& config);
    // Reports a failed start of the stream.
    void StartFailed(const kestrix::session::Error& error);
    // Why the mode cannot stream at the chosen speed, or empty when it can.
    std::string PacketProblem(kestrix::session::Camera& camera, const CameraModes::Mode& mode);
    void Record();
    void WaitForFrames();
    // Of the recording, whichever kind runs.
    std::uint64_t RecordedFrames() const;
    std::uint64_t RecordedDropped() const;
    // Whether the wait is over; reports why when it is not the expected end.
    bool WaitEnds(Clock::time_point now, Clock::time_point started);
    // Reports why the stream ended (the session's end rule).
    void StreamEnded(const kestrix::session::Error& reason);
    void CountFrames(Clock::time_point now);
    void StopTransmission();
    // With --frames, the ring's number for the run's last frame, once it is known.
    std::optional<std::uint16_t> RunsLastFrame() const;
    // Writes text to stdout; a failure (stdout closed, a full device) is the run's failure.
    void WriteOut(const std::string& text);
    CaptureSummary Summary() const;
    double FramesPerSecond() const;
    void Release();

    // A run of several cameras (CaptureSessionGroup.cpp).
    int RunGroup();
    bool ClaimGroup();
    bool CheckGroupOutputs();
    bool StartGroup();
    void RecordGroup();
    // Whether a camera's stream ended; reports why once.
    bool GroupStreamEnded();
    GroupSummary GroupSummaryOf() const;

    const CaptureOptions& m_options;
    const std::atomic<int>& m_stopSignal;
    std::shared_ptr<kestrix::session::CameraManager> m_pManager;
    std::shared_ptr<kestrix::session::Camera> m_pCamera;
    std::shared_ptr<kestrix::session::FrameStream> m_pStream;
    CaptureTrigger m_trigger;  // --trigger, undone at the end of the run
    CaptureRecording m_recording;  // --avi
    CaptureRecorder m_recorder;    // --record
    CaptureStill m_still;          // --bmp and --jpeg
    bool m_bInterruptReported = false;
    bool m_bStdoutFailed = false;
    int m_nExit = 0;
    std::string m_strExitReason;        // the failure that decided m_nExit
    bool m_bCaptured = false;           // a capture ran, so there are figures to report
    std::uint64_t m_nFrameBytes = 0;    // per frame as counted: raw, or 24-bit with --convert
    CameraFeatures::Values m_features;  // what --get read

    // The counters as last seen, and the camera's counter gaps since the check began.
    kestrix::session::StreamCounters m_counters;
    std::uint64_t m_nGapsAtStart = 0;
    std::uint64_t m_nGaps = 0;
    std::uint64_t m_nFrames = 0;
    std::uint64_t m_nFirstCount = 0;  // frames counted when the first ones were seen
    Clock::time_point m_firstSeen{};
    Clock::time_point m_lastSeen{};
    Clock::time_point m_lastArrival{};   // of a frame in the ring, recorded or not
    std::uint16_t m_nFirstSequence = 0;  // the ring's number for the run's first frame

    // A run of several cameras; m_nFrames, m_firstSeen and m_lastSeen count its sets.
    std::vector<std::shared_ptr<kestrix::session::Camera>> m_groupCameras;
    std::vector<std::string> m_groupPaths;  // each camera's file, with --record
    std::string m_strSyncPath;
    std::unique_ptr<kestrix::session::CameraGroup> m_pCameraGroup;
    std::unique_ptr<kestrix::record::GroupRecorder> m_pGroupRecorder;
    // As the run ended.
    kestrix::record::GroupRecorder::Figures m_groupFigures;
    kestrix::session::StreamGroup::Counters m_groupSets;
    std::vector<kestrix::session::StreamCounters> m_groupCounters;
};
