// One run of kestrix-capture on one camera: features read or set, connected the way the
// viewer's Connect does it (mode, ring, capture, transmission), frames recorded, stills saved
// from the newest frame, one summary (a line, or a JSON object), everything released.
//
// Threading: the camera object belongs to the thread that runs the session, which pumps its
// message queue while it waits, so that bus notices reach it and its client window.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <memory>
#include <string>

#include "camera/C1394Dcam.h"
#include "camera/CameraFeatures.h"
#include "camera/CameraLock.h"
#include "camera/CameraModes.h"
#include "camera/FrameRing.h"
#include "platform/MessageEndpoint.h"
#include "tools/kestrix-capture/CaptureOptions.h"
#include "tools/kestrix-capture/CaptureSummary.h"
#include "tools/kestrix-capture/CaptureTrigger.h"
#include "tools/kestrix-capture/OutputFileCheck.h"

class CaptureSession {
public:
    // stopSignal is set to the signal's number by a signal handler; the session then finishes
    // its file, releases the camera and ends with status 128 + that number.
    CaptureSession(const CaptureOptions& options, const volatile std::sig_atomic_t& stopSignal);
    ~CaptureSession();  // stops the capture and closes the camera library
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
    bool FindCamera();
    bool ClaimCamera();
    bool ApplyFeatures();
    bool ApplyTrigger();
    bool ReadFeatures();
    bool FeatureOutcome(const CameraFeatures::Outcome& outcome);
    bool Connect();
    // Slots for the ring: --buffer-percent of the free memory when given, else what a recorder
    // needs to ride out a slow disk for a moment.
    int RingSlots(const CameraModes::Mode& mode);
    double ModeFrameRate();
    // Why the mode cannot stream at the chosen speed, or empty when it can.
    std::string PacketProblem(const CameraModes::Mode& mode);
    bool ListenForBusNotices();
    void Record();
    void WaitForFrames();
    // Whether the wait is over; reports why when it is not the expected end.
    bool WaitEnds(Clock::time_point now, Clock::time_point started);
    bool ReceiveFailed() const;
    void CountFrames(Clock::time_point now);
    void CloseRecording();
    void StopCamera();
    void SaveStills();
    void SaveStill(const std::string& path, bool jpeg);
    // The slot of the frame a still shows: the run's last one, or the newest (-1).
    int StillSlot(const CDcamCaptureThread& thread) const;
    // Writes text to stdout; a failure (stdout closed, a full device) is the run's failure.
    void WriteOut(const std::string& text);
    CaptureSummary Summary() const;
    double FramesPerSecond() const;
    std::uint64_t Dropped() const;
    std::uint64_t Lost() const;
    void Release();

    const CaptureOptions& m_options;
    const volatile std::sig_atomic_t& m_stopSignal;
    const int m_nCamera;
    C1394Dcam m_cam;
    CaptureTrigger m_trigger;  // --trigger, undone at the end of the run
    CameraLock m_claim;        // keeps other programs off the camera while this one uses it
    std::unique_ptr<platform::MessageEndpoint> m_pClient;  // hears the bus notices
    bool m_bConnected = false;
    bool m_bTransmitting = false;
    bool m_bDeviceChange = false;
    bool m_bBusReset = false;
    bool m_bInterruptReported = false;
    bool m_bStdoutFailed = false;
    int m_nExit = 0;
    std::string m_strExitReason;        // the failure that decided m_nExit
    bool m_bCaptured = false;           // a capture ran, so there are figures to report
    std::uint64_t m_nFrameBytes = 0;    // per frame as counted: raw, or 24-bit with --convert
    CameraFeatures::Values m_features;  // what --get read

    // Ring figures when transmission began and as last seen (the capture may go before the end).
    FrameRing::Stats m_statsAtStart;
    FrameRing::Stats m_stats;
    std::uint64_t m_nGapsAtStart = 0;
    std::uint64_t m_nGaps = 0;
    std::uint64_t m_nFrames = 0;
    std::uint64_t m_nFirstCount = 0;  // frames counted when the first ones were seen
    Clock::time_point m_firstSeen{};
    Clock::time_point m_lastSeen{};
    Clock::time_point m_lastArrival{};  // of a frame in the ring, recorded or not
    Clock::time_point m_failureSeen{};  // when the reads were first seen failing
    std::uint16_t m_nFirstSequence = 0;  // the ring's number for the run's first frame
    OutputFileCheck m_aviFile;           // the recording's file, watched while it grows
};
