// Recording a Python stream.
#include "python/src/Recording.h"

#include <stdexcept>
#include <thread>

#include "python/src/CameraSession.h"
#include "python/src/Errors.h"
#include "python/src/FrameStream.h"

namespace kxpy {

namespace {

constexpr std::chrono::milliseconds kWaitStep{10};

}  // namespace

Recording::Recording(std::shared_ptr<FrameStream> stream, const std::string& path,
                     std::optional<std::uint64_t> frames, const std::string& codec, bool frameLog)
    : m_pStream(std::move(stream)), m_strPath(path) {
    if (const std::string problem = kestrix::record::FrameWriter::NameProblem(path); !problem.empty())
        throw std::invalid_argument(problem);
    if (codec != "ffv1" && codec != "h264") throw std::invalid_argument("codec: ffv1 or h264, not " + codec);
    std::shared_ptr<CameraSession> session = m_pStream->Session();
    session::Camera& camera = session->Camera();
    kestrix::record::RecordingSetup setup = kestrix::record::RecordingSetup::Of(camera, path);
    setup.writer.codec = codec;
    setup.writer.expectedFrames = frames.value_or(0);
    setup.frameLog = frameLog;
    setup.frameLimit = frames.value_or(0);
    // The session's manager runs its own thread: the recorder may read the features itself.
    setup.readFeatures = [session](std::vector<session::Feature>& features) {
        try {
            return !session->Camera().Features(features);
        } catch (const Error&) {
            return false;  // closed meanwhile: its stream ends the recording
        }
    };
    std::string error;
    m_pRecorder = kestrix::record::Recorder::Start(m_pStream->Recorded(true), std::move(setup), error);
    if (!m_pRecorder) {
        m_pStream->Recorded(false);
        throw Error("cannot record into " + path + ": " + error);
    }
}

Recording::~Recording() {
    try {
        Stop();
    } catch (const Error&) {
        // Said by Stop when asked; a recording dropped unstopped keeps its file as it is.
    }
}

bool Recording::Wait(std::optional<std::chrono::nanoseconds> timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout.value_or(std::chrono::hours(24 * 365));
    while (!Figures().done) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(kWaitStep);
    }
    return true;
}

void Recording::Stop() {
    if (m_stopped) return;
    std::string error;
    m_pRecorder->Stop(error);
    m_stopped = m_pRecorder->GetFigures();
    m_pStream->Recorded(false);
    if (!error.empty()) throw Error("recording into " + m_strPath + " failed: " + error);
}

kestrix::record::Recorder::Figures Recording::Figures() const {
    return m_stopped ? *m_stopped : m_pRecorder->GetFigures();
}

}  // namespace kxpy
