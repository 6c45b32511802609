// One run of kestrix-capture on camera 0: connected the way the viewer's Connect does it (mode,
// ring sized from free memory, capture, transmission), frames recorded, stills saved from the
// newest frame, one summary line, everything released.
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
#include "platform/MessageEndpoint.h"
#include "tools/kestrix-capture/CaptureOptions.h"

class CaptureSession {
public:
    // stopRequested is set by a signal handler; the session then ends like a finished one.
    CaptureSession(const CaptureOptions& options, const volatile std::sig_atomic_t& stopRequested);
    ~CaptureSession();  // stops the capture and closes the camera library
    CaptureSession(const CaptureSession&) = delete;
    CaptureSession& operator=(const CaptureSession&) = delete;

    // The exit status (ExitCodes.h); every failure has printed one line on stderr.
    int Run();

private:
    using Clock = std::chrono::steady_clock;

    // Reports a failure; the first one decides the exit status, which is returned.
    int Fail(int code, const std::string& message);
    bool CheckOutputs();
    bool Connect();
    bool ListenForBusNotices();
    void Record();
    void WaitForFrames();
    // Whether the wait is over; reports why when it is not the expected end.
    bool WaitEnds(Clock::time_point now, Clock::time_point started);
    void CountFrames(Clock::time_point now);
    void CloseRecording();
    void SaveStills();
    void SaveStill(const std::string& path, bool jpeg);
    void PrintSummary() const;
    double FramesPerSecond() const;
    std::uint64_t Dropped() const;
    void Release();

    const CaptureOptions& m_options;
    const volatile std::sig_atomic_t& m_stopRequested;
    C1394Dcam m_cam;
    std::unique_ptr<platform::MessageEndpoint> m_pClient;  // hears the bus notices
    bool m_bConnected = false;
    bool m_bDeviceChange = false;
    bool m_bBusReset = false;
    int m_nExit = 0;

    std::uint64_t m_nStoredAtStart = 0;  // ring figures when transmission began
    std::uint64_t m_nDroppedAtStart = 0;
    std::uint64_t m_nFrames = 0;
    std::uint64_t m_nFirstCount = 0;  // frames counted when the first ones were seen
    Clock::time_point m_firstSeen{};
    Clock::time_point m_lastSeen{};
};
