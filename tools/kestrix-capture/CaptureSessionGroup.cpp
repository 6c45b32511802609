// kestrix-capture's run of several cameras: every camera claimed and set up, started together
// as one group, its frame sets read (and recorded, one file per camera and the sync sidecar)
// until the run's end, one summary per camera and one for the sets.
#include "tools/kestrix-capture/CaptureSession.h"

#include <algorithm>

#include "files/CameraFiles.h"
#include "record/OutputPattern.h"
#include "record/Recorder.h"
#include "tools/kestrix-capture/ExitCodes.h"
#include "tools/kestrix-capture/ProgressLine.h"

namespace {

using kestrix::session::CameraPick;
using kestrix::session::Error;
using Kind = Error::Kind;

constexpr auto kPumpStep = std::chrono::milliseconds(10);
// As a single camera's run: the first set may take a while, a gap once sets flow means the
// cameras ceased.
constexpr auto kStallTimeout = std::chrono::seconds(10);
constexpr auto kGapTimeout = std::chrono::seconds(3);
constexpr double kCyclesPerSecond = 8000;
constexpr double kMicrosecondsPerCycle = 125;

}  // namespace

int CaptureSession::RunGroup() {
    if (!ClaimGroup() || !CheckGroupOutputs()) return m_nExit;
    for (const auto& camera : m_groupCameras) {
        if (!ApplyFeatures(*camera)) return m_nExit;
    }
    if (!StartGroup() || Interrupted()) return m_nExit;
    m_bCaptured = true;
    RecordGroup();
    if (!m_options.json) WriteOut(GroupSummaryOf().Line());
    return m_nExit;
}

bool CaptureSession::ClaimGroup() {
    std::vector<CameraPick> picks = m_options.cameras;
    if (m_options.allCameras) {
        Error error;
        for (const kestrix::session::CameraInfo& info : m_pManager->Cameras(error))
            picks.push_back(CameraPick{info.index, {}});
        if (picks.empty()) {
            NoCamera(Error(Kind::NotFound), CameraPick{});
            return false;
        }
    }
    // A camera named twice (by index and by GUID) would be refused as in use, by this run.
    Error unread;
    const auto listed = m_pManager->Cameras(unread);
    std::vector<int> named;
    for (const CameraPick& pick : picks) {
        for (const kestrix::session::CameraInfo& info : listed) {
            if (pick.guid ? *pick.guid != info.guid : pick.index != info.index) continue;
            if (std::find(named.begin(), named.end(), info.index) != named.end()) {
                Fail(kExitUsage, "--camera names camera " + std::to_string(info.index) + " twice (" +
                                     pick.Text() + ")");
                return false;
            }
            named.push_back(info.index);
        }
    }
    for (const CameraPick& pick : picks) {
        auto camera = Claim(pick, true);
        if (!camera) return false;
        m_groupCameras.push_back(std::move(camera));
    }
    return true;
}

bool CaptureSession::CheckGroupOutputs() {
    if (m_options.record.empty()) return true;
    const kestrix::record::OutputPattern pattern(m_options.record);
    for (const auto& camera : m_groupCameras)
        m_groupPaths.push_back(pattern.Expand(camera->Info().index, camera->Info().guid));
    m_strSyncPath = pattern.SyncPath();
    std::vector<std::string> checked = m_groupPaths;
    checked.push_back(m_strSyncPath);
    for (const std::string& path : checked) {
        // A sequence's files are made as frames come, in folders made then.
        if (path.find('%') != std::string::npos) continue;
        const std::string problem = OutputFileCheck::Problem(path);
        if (!problem.empty()) Fail(kExitFileError, "cannot create " + path + ": " + problem);
    }
    return m_nExit == kExitOk;
}

bool CaptureSession::StartGroup() {
    std::vector<kestrix::session::StreamConfig> configs(m_groupCameras.size());
    for (std::size_t i = 0; i < m_groupCameras.size(); ++i) {
        if (!MakeConfig(*m_groupCameras[i], configs[i])) return false;
    }
    m_pCameraGroup = std::make_unique<kestrix::session::CameraGroup>(m_groupCameras);
    kestrix::session::BusPlan plan;
    if (const Error error = m_pCameraGroup->Configure(configs, plan)) {
        Fail(error.GetKind() == Kind::Refused || error.GetKind() == Kind::NoBandwidth
                 ? kExitModeRefused
                 : kExitFailed,
             error.Message());
        return false;
    }
    for (std::size_t i = 0; i < m_groupCameras.size(); ++i) {
        if (const std::string problem = PacketProblem(*m_groupCameras[i], configs[i].mode);
            !problem.empty()) {
            Fail(kExitModeRefused, "camera " + std::to_string(m_groupCameras[i]->Info().index) +
                                       ": " + problem);
            return false;
        }
    }
    // The streams exist before any camera transmits, so the sets begin with the first frames.
    std::vector<std::shared_ptr<kestrix::session::FrameStream>> streams;
    if (const Error error = m_pCameraGroup->Start(streams)) {
        StartFailed(error);
        return false;
    }
    std::uint32_t periodUs = 0;
    m_groupCameras.front()->Call(
        [&](C1394Dcam& cam, int index) { periodUs = files::GetFramePeriod(cam, index); });
    const double periodCycles =
        periodUs != 0 ? periodUs / kMicrosecondsPerCycle : kCyclesPerSecond / 15;
    auto group = std::make_shared<kestrix::session::StreamGroup>(streams, periodCycles);
    kestrix::record::GroupRecorder::Setup setup;
    for (std::size_t i = 0; i < m_groupCameras.size(); ++i) {
        setup.cameras.push_back(m_groupCameras[i]->Info().index);
        if (!m_groupPaths.empty())
            setup.files.push_back(CaptureRecorder::Setup(m_options, *m_groupCameras[i], m_groupPaths[i]));
    }
    setup.syncPath = m_strSyncPath;
    setup.setLimit = m_options.frames;
    std::string error;
    m_pGroupRecorder = kestrix::record::GroupRecorder::Start(group, std::move(setup), error);
    if (!m_pGroupRecorder) {
        Fail(kExitFileError, "cannot record into " + m_options.record + ": " + error);
        return false;
    }
    return true;
}

void CaptureSession::RecordGroup() {
    ProgressLine progress(stderr);
    const auto started = Clock::now();
    auto lastSet = started;
    auto lastPoll = started;
    const bool noteFeatures = m_options.frameLog && !m_groupPaths.empty();
    for (;;) {
        m_pManager->Pump(kPumpStep);
        const auto now = Clock::now();
        if (Interrupted() || GroupStreamEnded()) break;
        if (noteFeatures && now - lastPoll >= kestrix::record::Recorder::kFeaturePoll) {
            lastPoll = now;
            for (std::size_t i = 0; i < m_groupCameras.size(); ++i) {
                std::vector<kestrix::session::Feature> features;
                if (!m_groupCameras[i]->Features(features)) m_pGroupRecorder->NoteFeatures(i, features);
            }
        }
        const auto figures = m_pGroupRecorder->GetFigures();
        if (figures.sets != m_nFrames) {
            if (m_nFrames == 0) m_firstSeen = now;
            m_nFrames = figures.sets;
            m_lastSeen = lastSet = now;
        }
        if (figures.done) break;
        if (m_options.seconds != 0 && m_nFrames > 0 &&
            m_lastSeen - m_firstSeen >= std::chrono::duration<double>(m_options.seconds))
            break;
        const std::chrono::seconds limit = m_nFrames != 0 ? kGapTimeout : kStallTimeout;
        if (now - lastSet > limit) {
            Fail(kExitFailed, "no frame set has come from the cameras for " +
                                  std::to_string(limit.count()) + " seconds");
            break;
        }
        std::uint64_t dropped = 0;
        for (const std::uint64_t d : figures.dropped) dropped += d;
        progress.Update(m_nFrames, FramesPerSecond(), dropped);
    }
    std::string problem;
    if (!m_pGroupRecorder->Stop(problem)) {
        Fail(kExitFileError, "recording into " + m_options.record + " stopped: " + problem +
                                 "; the files keep the frames written before");
    }
    GroupStreamEnded();
    m_groupFigures = m_pGroupRecorder->GetFigures();
    m_groupSets = m_pGroupRecorder->Counters();
    for (const auto& stream : m_pGroupRecorder->Streams()) m_groupCounters.push_back(stream->Counters());
    if (const Error error = m_pCameraGroup->Stop())
        Fail(kExitFailed, "stopping the cameras failed: " + error.Message());
}

bool CaptureSession::GroupStreamEnded() {
    const auto& streams = m_pGroupRecorder->Streams();
    for (std::size_t i = 0; i < streams.size(); ++i) {
        if (const Error reason = streams[i]->Watch()) {
            if (m_nExit == kExitOk) StreamEnded(reason);
            return true;
        }
    }
    return false;
}

GroupSummary CaptureSession::GroupSummaryOf() const {
    GroupSummary summary;
    const std::chrono::duration<double> span = m_lastSeen - m_firstSeen;
    for (std::size_t i = 0; i < m_groupCameras.size(); ++i) {
        GroupSummary::Member member;
        member.camera = m_groupCameras[i]->Info().index;
        member.guid = m_groupCameras[i]->Info().guid;
        CaptureSummary& f = member.figures;
        if (m_bCaptured && i < m_groupCounters.size()) {
            f.frames = m_groupFigures.frames[i];
            f.dropped = m_groupFigures.dropped[i];
            f.fps = f.frames > 1 && span.count() > 0 ? double(f.frames - 1) / span.count() : 0;
            f.bytes = f.frames * m_pGroupRecorder->Streams()[i]->FrameBytes();
            f.lost = m_groupCounters[i].lost;
            f.shortFrames = m_groupCounters[i].shortFrames;
            f.readErrors = m_groupCounters[i].readErrors;
        }
        if (i < m_groupPaths.size()) f.files.emplace_back("record", m_groupPaths[i]);
        summary.cameras.push_back(std::move(member));
    }
    if (m_bCaptured) summary.sets = m_groupSets;
    if (!m_options.record.empty()) {
        summary.files.emplace_back("record", m_options.record);
        summary.files.emplace_back("sync", m_strSyncPath);
    }
    summary.exitReason = m_nExit == kExitOk ? "done" : m_strExitReason;
    summary.exitStatus = m_nExit;
    return summary;
}
