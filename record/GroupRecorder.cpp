// Recording a stream group's frame sets on a thread of its own.
#include "record/GroupRecorder.h"

#include <chrono>

namespace kestrix::record {

namespace {

constexpr std::chrono::milliseconds kReadStep{100};

}  // namespace

std::unique_ptr<GroupRecorder> GroupRecorder::Start(std::shared_ptr<session::StreamGroup> group,
                                                    Setup setup, std::string& error) {
    error.clear();
    auto recorder = std::make_unique<GroupRecorder>(std::move(group), std::move(setup), error);
    if (!error.empty()) return {};
    return recorder;
}

GroupRecorder::GroupRecorder(std::shared_ptr<session::StreamGroup> group, Setup setup,
                             std::string& error)
    : m_pGroup(std::move(group)), m_setup(std::move(setup)) {
    const std::size_t cameras = m_pGroup->Streams().size();
    m_Frames.assign(cameras, 0);
    m_Dropped.assign(cameras, 0);
    for (const RecordingSetup& file : m_setup.files) {
        m_files.push_back(std::make_unique<RecordingFile>(file, error));
        m_changes.push_back(std::make_unique<FeatureChanges>(file.info.features));
        if (!error.empty()) return;
    }
    if (!m_setup.syncPath.empty()) {
        m_sync.emplace(m_setup.syncPath, m_setup.cameras, error);
        if (!error.empty()) return;
    }
    m_thread = std::thread([this] { Run(); });
}

GroupRecorder::~GroupRecorder() {
    std::string ignored;
    Stop(ignored);
}

void GroupRecorder::NoteFeatures(std::size_t member,
                                 const std::vector<session::Feature>& features) {
    if (member < m_changes.size()) m_changes[member]->Note(features);
}

GroupRecorder::Figures GroupRecorder::GetFigures() const {
    Figures f;
    f.done = m_bDone;
    const std::lock_guard hold(m_lock);
    f.sets = m_nSets;
    f.frames = m_Frames;
    f.dropped = m_Dropped;
    f.error = m_strError;
    return f;
}

void GroupRecorder::Fail(const std::string& error) {
    const std::lock_guard hold(m_lock);
    if (m_strError.empty()) m_strError = error;
}

void GroupRecorder::Run() {
    session::FrameSet set;
    while (!m_bStop) {
        const auto status = m_pGroup->Next(set, kReadStep);
        if (status == session::FrameStream::Status::Timeout) continue;
        if (status != session::FrameStream::Status::Frame || !Take(set)) break;
        if (m_setup.setLimit != 0 && set.index + 1 >= m_setup.setLimit) break;
    }
    m_bDone = true;
}

bool GroupRecorder::Take(const session::FrameSet& set) {
    std::string error;
    const auto& streams = m_pGroup->Streams();
    for (std::size_t i = 0; i < set.members.size() && i < m_files.size(); ++i) {
        const session::FrameSet::Member& member = set.members[i];
        if (!member.present) continue;
        const std::span<const std::uint8_t> frame(member.bytes.data(), streams[i]->FrameBytes());
        FrameLog* log = m_files[i]->Log();
        for (const session::Feature& feature : m_changes[i]->Due(member.meta.arrivalNs)) {
            if (log && !log->FeatureChanged(m_files[i]->Frames(), feature, error)) {
                Fail(m_setup.files[i].path + ": " + error);
                return false;
            }
        }
        if (!m_files[i]->Add(frame, member.meta, error)) {
            Fail(m_setup.files[i].path + ": " + error);
            return false;
        }
    }
    if (m_sync && !m_sync->Row(set, error)) {
        Fail(m_setup.syncPath + ": " + error);
        return false;
    }
    const std::lock_guard hold(m_lock);
    m_nSets = set.index + 1;
    for (std::size_t i = 0; i < set.members.size() && i < m_Frames.size(); ++i) {
        if (!set.members[i].present) continue;
        ++m_Frames[i];
        // The first frame's count is of frames before the recording.
        if (m_Frames[i] > 1) m_Dropped[i] += set.members[i].meta.droppedBefore;
    }
    return true;
}

bool GroupRecorder::Stop(std::string& error) {
    if (m_thread.joinable()) {
        m_bStop = true;
        m_thread.join();
        std::string ended = GetFigures().error;
        for (const auto& stream : m_pGroup->Streams()) {
            if (const session::Error reason = stream->EndReason(); ended.empty() && reason)
                ended = reason.Message();
        }
        for (std::size_t i = 0; i < m_files.size(); ++i) {
            std::string finishError;
            if (!m_files[i]->Finish(ended, finishError)) Fail(m_setup.files[i].path + ": " + finishError);
        }
        std::string syncError;
        if (m_sync && !m_sync->Finish(syncError)) Fail(m_setup.syncPath + ": " + syncError);
    }
    error = GetFigures().error;
    return error.empty();
}

}  // namespace kestrix::record
