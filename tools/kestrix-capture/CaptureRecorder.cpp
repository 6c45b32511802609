// Recording a capture in any of the recording layer's formats for kestrix-capture.
#include "tools/kestrix-capture/CaptureRecorder.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>

#include "tools/kestrix-capture/ExitCodes.h"

namespace {

using kestrix::record::RecordingSetup;


}  // namespace

void CaptureRecorder::CatchEvent() {
    struct sigaction action {};
    // The time of its arrival is the event's: clock_gettime may be called in a handler.
    action.sa_handler = [](int) {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        std::int64_t none = 0;
        s_nEventNs.compare_exchange_strong(none, std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec);
    };
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &action, nullptr);
}

RecordingSetup CaptureRecorder::Setup(const CaptureOptions& options,
                                      kestrix::session::Camera& camera, const std::string& path) {
    RecordingSetup setup = RecordingSetup::Of(camera, path);
    setup.writer.codec = options.codec;
    const double seconds = options.seconds + options.preTrigger;
    setup.writer.expectedFrames =
        options.frames != 0 ? options.frames + std::uint64_t(options.preTrigger * setup.format.fps)
                            : std::uint64_t(seconds * setup.format.fps);
    // Ctrl+C may end a pre-trigger recording at any length.
    if (options.preTrigger > 0 && !options.lengthAsked) setup.writer.expectedFrames = 0;
    setup.frameLog = options.frameLog;
    setup.frameLimit = options.frames;
    setup.preTriggerSeconds = options.preTrigger;
    return setup;
}

bool CaptureRecorder::Start(kestrix::session::Camera& camera,
                            std::shared_ptr<kestrix::session::FrameStream> stream) {
    RecordingSetup setup = Setup(m_options, camera, m_options.record);
    std::string error;
    const double fps = setup.format.fps;
    m_pRecorder = kestrix::record::Recorder::Start(stream, std::move(setup), error);
    if (!m_pRecorder) {
        m_fail(kExitFileError, "cannot record into " + m_options.record + ": " + error);
        return false;
    }
    // One file is watched; a sequence's files come and go with its frames.
    using Kind = kestrix::record::FrameWriter::Kind;
    const Kind kind = kestrix::record::FrameWriter::KindOf(m_options.record);
    m_bWatchFile = kind != Kind::PngSequence && kind != Kind::TiffSequence;
    if (m_bWatchFile) m_file.Created(m_options.record);
    m_pStream = stream;
    m_nFramesToArm = std::uint64_t(std::ceil(m_options.preTrigger * fps));
    return true;
}

bool CaptureRecorder::EventCame() {
    if (s_nEventNs != 0) return true;
    if (!m_options.startOnInput || m_bInputClosed) return false;
    pollfd input{STDIN_FILENO, POLLIN, 0};
    while (::poll(&input, 1, 0) == 1) {
        char chunk[256];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) {
            m_bInputClosed = true;  // an input that ends is no event
            return false;
        }
        m_strInput.append(chunk, std::size_t(n));
        if (m_strInput.find('\n') != std::string::npos) return true;
    }
    return false;
}

bool CaptureRecorder::Tick(kestrix::session::Camera& camera, Clock::time_point now) {
    if (!m_pRecorder) return false;
    if (m_options.preTrigger > 0) {
        if (!m_bArmedTold && m_pStream->Counters().received >= m_nFramesToArm) {
            // Said once the ring holds the seconds asked, so that an event from now on gets them.
            m_bArmedTold = true;
            std::fprintf(stderr, "kestrix-capture: armed: the ring holds the last %g s; "
                                 "recording starts on %s\n",
                         m_options.preTrigger,
                         m_options.startOnInput ? "a line on standard input or SIGUSR1" : "SIGUSR1");
        }
        if (EventCame()) m_pRecorder->Trigger(s_nEventNs);
    }
    if (m_options.frameLog && now - m_lastPoll >= kestrix::record::Recorder::kFeaturePoll) {
        m_lastPoll = now;
        std::vector<kestrix::session::Feature> features;
        if (!camera.Features(features)) m_pRecorder->NoteFeatures(features);
    }
    return m_pRecorder->GetFigures().done || (m_bWatchFile && m_file.GoneBy(now));
}

std::uint64_t CaptureRecorder::Frames() const {
    return m_pRecorder ? m_pRecorder->GetFigures().frames : 0;
}

std::uint64_t CaptureRecorder::Dropped() const {
    return m_pRecorder ? m_pRecorder->GetFigures().dropped : 0;
}

void CaptureRecorder::Close() {
    if (!m_pRecorder) return;
    std::string problem;
    m_pRecorder->Stop(problem);
    const std::uint64_t frames = Frames();
    if (m_bWatchFile && m_file.Gone()) {
        m_fail(kExitFileError, "recording into " + m_options.record +
                                   " failed: the file is gone (its folder or the file was "
                                   "removed during the recording), and the " +
                                   std::to_string(frames) + " frames written with it");
    } else if (!problem.empty()) {
        m_fail(kExitFileError, "recording into " + m_options.record + " stopped: " + problem +
                                   "; the file keeps the " + std::to_string(frames) +
                                   " frames written before");
    }
}
