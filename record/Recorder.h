// Records a running stream into a file on a thread of its own: every frame in order (the
// stream's ring absorbs the encoder's and the disk's spikes), its row in the frame log, the
// feature changes a front end reports, until the frame limit, a failure, the stream's end or
// Stop. With a pre-trigger it waits, leaving the frames in the ring, until Trigger, then begins
// with the frames of the seconds before it.
//
// Threading: Trigger, NoteFeatures, Figures and Stop from any thread; Stop once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "record/FeatureChanges.h"
#include "record/RecordingFile.h"
#include "record/RecordingSetup.h"
#include "session/FrameStream.h"

namespace kestrix::record {

class Recorder {
public:
    struct Figures {
        std::uint64_t frames = 0;   // in the file
        std::uint64_t dropped = 0;  // overwritten in the ring before the recorder read them
        std::uint64_t lost = 0;     // that never reached the ring, among the recorded ones
        bool armed = false;         // a pre-trigger recording waiting for its event
        bool done = false;          // the recorder stopped by itself
        std::string error;          // why it stopped by itself when that is a failure
    };

    // How often features are read for the log: often enough to place a change among the frames
    // of a second, seldom enough to leave the camera's registers to the capture.
    static constexpr std::chrono::milliseconds kFeaturePoll{500};

    // Creates the file and its log and starts recording; nothing, with error set, when the file
    // cannot be made.
    static std::unique_ptr<Recorder> Start(std::shared_ptr<session::FrameStream> stream,
                                           RecordingSetup setup, std::string& error);
    // Start's work; error set when the file cannot be made, and then nothing runs.
    Recorder(std::shared_ptr<session::FrameStream> stream, RecordingSetup setup,
             std::string& error);
    ~Recorder();  // stops
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // The event of a pre-trigger recording at eventNs (CLOCK_MONOTONIC; 0: now): it writes from
    // the last frame sent at least the pre-trigger's seconds before it. Only the first counts.
    void Trigger(std::int64_t eventNs = 0);
    // The camera's features as a front end read them now; a value unlike the last one is logged
    // as a change from the first frame that arrived after this call.
    void NoteFeatures(const std::vector<session::Feature>& features);
    Figures GetFigures() const;
    // Writes the frames the ring still holds that came before the call, then finishes the file
    // and its log; false with error set when the recording failed anywhere.
    bool Stop(std::string& error);

private:
    void Run();
    // One frame read: false when the recording is over.
    bool Take(std::span<const std::uint8_t> frame, const session::FrameMetadata& meta);
    void LogChanges(const session::FrameMetadata& meta);
    void Fail(const std::string& error);

    const std::shared_ptr<session::FrameStream> m_pStream;
    const RecordingSetup m_setup;
    RecordingFile m_file;
    FeatureChanges m_changes;
    std::vector<std::uint8_t> m_Frame;

    std::atomic<bool> m_bStop{false};
    std::atomic<std::int64_t> m_nEventNs{0};  // CLOCK_MONOTONIC of Trigger, 0 before
    std::atomic<std::uint64_t> m_nFrames{0};
    std::atomic<std::uint64_t> m_nDropped{0};
    std::atomic<std::uint64_t> m_nLost{0};
    std::atomic<bool> m_bDone{false};
    mutable std::mutex m_lock;  // guards the fields below
    std::string m_strError;
    std::optional<std::uint64_t> m_eventFrame;

    std::thread m_thread;  // last: it starts once everything above is made
};

}  // namespace kestrix::record
