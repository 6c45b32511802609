// kestrix-capture's --record: the recording layer's Recorder on the running stream, the camera's
// features polled for the frame log, and a pre-trigger recording's event (SIGUSR1, or a line on
// standard input with --start-on-input).
//
// Threading: the session's thread, which owns the camera object; the Recorder writes on its own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "record/Recorder.h"
#include "session/Camera.h"
#include "tools/kestrix-capture/CaptureOptions.h"
#include "tools/kestrix-capture/OutputFileCheck.h"

class CaptureRecorder {
public:
    using Fail = std::function<void(int code, const std::string& message)>;
    using Clock = std::chrono::steady_clock;

    CaptureRecorder(const CaptureOptions& options, Fail fail)
        : m_options(options), m_fail(std::move(fail)) {}

    // What a recording of the camera into path needs, from the options and the camera.
    static kestrix::record::RecordingSetup Setup(const CaptureOptions& options,
                                                 kestrix::session::Camera& camera,
                                                 const std::string& path);
    // Catches SIGUSR1 from now on: the event of a pre-trigger recording.
    static void CatchEvent();
    // Opens the file and its log and starts recording (or waiting for the event); false,
    // reported, when it cannot.
    bool Start(kestrix::session::Camera& camera,
               std::shared_ptr<kestrix::session::FrameStream> stream);
    // Polls the features and the event; whether the recorder stopped by itself or the file is
    // gone.
    bool Tick(kestrix::session::Camera& camera, Clock::time_point now);
    std::uint64_t Frames() const;
    std::uint64_t Dropped() const;
    // Writes what the ring still holds and finishes the file, reporting why it is short if it is.
    void Close();

private:
    bool EventCame();

    const CaptureOptions& m_options;
    Fail m_fail;
    std::unique_ptr<kestrix::record::Recorder> m_pRecorder;
    std::shared_ptr<kestrix::session::FrameStream> m_pStream;
    std::uint64_t m_nFramesToArm = 0;  // frames that fill the pre-trigger's seconds
    bool m_bArmedTold = false;
    OutputFileCheck m_file;
    bool m_bWatchFile = false;
    Clock::time_point m_lastPoll{};
    std::string m_strInput;  // a line of standard input not yet ended
    bool m_bInputClosed = false;
    // CLOCK_MONOTONIC of the first SIGUSR1, 0 before.
    static inline std::atomic<std::int64_t> s_nEventNs{0};
};
