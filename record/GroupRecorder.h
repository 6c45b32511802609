// Records a stream group on a thread of its own: each frame set's present frames into their
// cameras' files (each with its frame log, as Recorder writes one camera's), and the set's row
// into the sync sidecar, until the set limit, a failure, a stream's end or Stop; the feature
// changes a front end notes go into the camera's frame log. Without files it only reads the
// sets, for their counts.
//
// Threading: NoteFeatures, Figures and Stop from any thread; Stop once.
#pragma once

#include <atomic>
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
#include "record/SyncLog.h"
#include "session/StreamGroup.h"

namespace kestrix::record {

class GroupRecorder {
public:
    struct Setup {
        // One per stream of the group, in its order; empty: no files.
        std::vector<RecordingSetup> files;
        std::string syncPath;      // empty: no sidecar
        std::vector<int> cameras;  // each stream's camera index, for the sidecar's header
        std::uint64_t setLimit = 0;  // 0: until stopped
    };
    struct Figures {
        std::uint64_t sets = 0;
        std::vector<std::uint64_t> frames;   // per camera: frames in its sets (and file)
        std::vector<std::uint64_t> dropped;  // per camera: overwritten before they were read
        bool done = false;                   // stopped by itself
        std::string error;                   // why, when that is a failure
    };

    // Creates the files and starts; nothing, with error set, when a file cannot be made.
    static std::unique_ptr<GroupRecorder> Start(std::shared_ptr<session::StreamGroup> group,
                                                Setup setup, std::string& error);
    GroupRecorder(std::shared_ptr<session::StreamGroup> group, Setup setup, std::string& error);
    ~GroupRecorder();  // stops
    GroupRecorder(const GroupRecorder&) = delete;
    GroupRecorder& operator=(const GroupRecorder&) = delete;

    // A camera's features as a front end read them now (member: its place in the group).
    void NoteFeatures(std::size_t member, const std::vector<session::Feature>& features);
    Figures GetFigures() const;
    session::StreamGroup::Counters Counters() const { return m_pGroup->GetCounters(); }
    const std::vector<std::shared_ptr<session::FrameStream>>& Streams() const {
        return m_pGroup->Streams();
    }
    // Finishes the files (a set half read is not started: the cameras' rings keep the rest);
    // false with error set when the recording failed anywhere.
    bool Stop(std::string& error);

private:
    void Run();
    bool Take(const session::FrameSet& set);
    void Fail(const std::string& error);

    const std::shared_ptr<session::StreamGroup> m_pGroup;
    const Setup m_setup;
    std::vector<std::unique_ptr<RecordingFile>> m_files;
    std::vector<std::unique_ptr<FeatureChanges>> m_changes;  // one per file
    std::optional<SyncLog> m_sync;

    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bDone{false};
    mutable std::mutex m_lock;  // guards the fields below
    std::string m_strError;
    std::uint64_t m_nSets = 0;
    std::vector<std::uint64_t> m_Frames;
    std::vector<std::uint64_t> m_Dropped;

    std::thread m_thread;  // last: it starts once everything above is made
};

}  // namespace kestrix::record
