// Recording a stream on a thread of its own.
#include "record/Recorder.h"

#include <time.h>

#include <chrono>

namespace kestrix::record {

namespace {

using session::FrameMetadata;
using session::FrameStream;

constexpr std::chrono::milliseconds kReadStep{100};
constexpr std::chrono::milliseconds kArmedStep{20};
constexpr std::int64_t kFeaturePollNs =
    std::chrono::nanoseconds(Recorder::kFeaturePoll).count();

std::int64_t MonotonicNs() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

std::int64_t FrameNs(const FrameMetadata& meta) {
    return meta.sentNs != 0 ? meta.sentNs : meta.arrivalNs;
}

}  // namespace

std::unique_ptr<Recorder> Recorder::Start(std::shared_ptr<FrameStream> stream,
                                          RecordingSetup setup, std::string& error) {
    error.clear();
    auto recorder = std::make_unique<Recorder>(std::move(stream), std::move(setup), error);
    if (!error.empty()) return {};
    return recorder;
}

Recorder::Recorder(std::shared_ptr<FrameStream> stream, RecordingSetup setup, std::string& error)
    : m_pStream(std::move(stream)),
      m_setup(std::move(setup)),
      m_file(m_setup, error),
      m_changes(m_setup.info.features) {
    if (!error.empty()) return;
    m_Frame.resize(m_pStream->SlotBytes());
    m_thread = std::thread([this] { Run(); });
}

Recorder::~Recorder() {
    std::string ignored;
    Stop(ignored);
}

void Recorder::Trigger(std::int64_t eventNs) {
    std::int64_t none = 0;
    m_nEventNs.compare_exchange_strong(none, eventNs != 0 ? eventNs : MonotonicNs());
}

void Recorder::NoteFeatures(const std::vector<session::Feature>& features) {
    m_changes.Note(features);
}

Recorder::Figures Recorder::GetFigures() const {
    Figures f;
    f.frames = m_nFrames;
    f.dropped = m_nDropped;
    f.lost = m_nLost;
    f.armed = m_setup.preTriggerSeconds > 0 && m_nEventNs == 0;
    f.done = m_bDone;
    const std::lock_guard hold(m_lock);
    f.error = m_strError;
    return f;
}

void Recorder::Fail(const std::string& error) {
    const std::lock_guard hold(m_lock);
    if (m_strError.empty()) m_strError = error;
}

void Recorder::Run() {
    const bool armed = m_setup.preTriggerSeconds > 0;
    FrameMetadata meta;
    std::int64_t polled = MonotonicNs();
    for (;;) {
        if (m_setup.readFeatures && MonotonicNs() - polled >= kFeaturePollNs) {
            polled = MonotonicNs();
            std::vector<session::Feature> features;
            if (m_setup.readFeatures(features)) NoteFeatures(features);
        }
        if (armed && m_nEventNs == 0) {
            // The ring keeps the frames meanwhile, and overwrites those too old to matter.
            if (m_bStop) break;
            std::this_thread::sleep_for(kArmedStep);
            continue;
        }
        // Once stopped, only the frames already in the ring.
        const auto status = m_pStream->Next(m_Frame, meta, m_bStop ? std::chrono::milliseconds(0) : kReadStep);
        if (status == FrameStream::Status::Timeout) {
            if (m_bStop) break;
            continue;
        }
        if (status != FrameStream::Status::Frame || !Take(m_Frame, meta)) break;
    }
    m_bDone = true;
}

bool Recorder::Take(std::span<const std::uint8_t> frame, const FrameMetadata& meta) {
    const std::int64_t event = m_nEventNs;
    const std::uint64_t written = m_file.Frames();
    std::string error;
    // One frame period more, so that the first frame is the seconds asked or more before it.
    const double period = m_setup.format.fps > 0 ? 1 / m_setup.format.fps : 0;
    if (event != 0 && written == 0 &&
        FrameNs(meta) < event - std::int64_t((m_setup.preTriggerSeconds + period) * 1e9)) {
        return true;
    }
    if (written != 0) {
        m_nDropped += meta.droppedBefore;
        m_nLost += meta.lostBefore;
    }
    LogChanges(meta);
    if (event != 0 && !m_eventFrame && FrameNs(meta) >= event) {
        m_eventFrame = written;
        if (FrameLog* log = m_file.Log(); log && !log->MarkEvent(written, event, error)) {
            Fail(error);
            return false;
        }
    }
    if (!m_file.Add(frame.first(m_pStream->FrameBytes()), meta, error)) {
        Fail(error);
        return false;
    }
    m_nFrames = m_file.Frames();
    if (m_setup.frameLimit == 0) return true;
    // A pre-trigger recording counts its frames from the event's.
    if (m_setup.preTriggerSeconds <= 0) return m_file.Frames() < m_setup.frameLimit;
    return !m_eventFrame || m_file.Frames() - *m_eventFrame < m_setup.frameLimit;
}

void Recorder::LogChanges(const FrameMetadata& meta) {
    FrameLog* log = m_file.Log();
    std::string error;
    for (const session::Feature& feature : m_changes.Due(meta.arrivalNs)) {
        if (log && !log->FeatureChanged(m_file.Frames(), feature, error)) Fail(error);
    }
}

bool Recorder::Stop(std::string& error) {
    if (m_thread.joinable()) {
        m_bStop = true;
        m_thread.join();
        std::string ended;
        {
            const std::lock_guard hold(m_lock);
            ended = m_strError;
        }
        if (const session::Error reason = m_pStream->EndReason(); ended.empty() && reason)
            ended = reason.Message();
        std::string finishError;
        if (!m_file.Finish(ended, finishError)) Fail(finishError);
    }
    const std::lock_guard hold(m_lock);
    error = m_strError;
    return m_strError.empty();
}

}  // namespace kestrix::record
