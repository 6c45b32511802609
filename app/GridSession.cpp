// The grid window's cameras: claims, formats, the start together, recordings and figures.
#include "app/GridSession.h"

#include <QFileInfo>
#include <QSettings>
#include <QSocketNotifier>

#include <algorithm>

#include "camera/BusBandwidth.h"
#include "camera/CameraModes.h"
#include "camera/VideoModeTables.h"
#include "files/CameraFiles.h"
#include "platform/MessageQueue.h"
#include "session/BusPlan.h"
#include "record/OutputPattern.h"
#include "record/RecordingSetup.h"
#include "session/ModeOffer.h"
#include "session/StreamGroup.h"

namespace {

namespace session = kestrix::session;
namespace record = kestrix::record;
using Clock = std::chrono::steady_clock;

// The configuration with its mode as the camera offers it (name and rates), which the bus
// planner judges it by; a kept format stores only the mode's number and coding.
session::StreamConfig OfferedConfig(session::Camera& camera, session::StreamConfig config) {
    std::vector<session::ModeOffer> offers;
    if (camera.Modes(offers)) return config;
    for (const session::ModeOffer& offer : offers) {
        const CameraModes::Mode& mode = offer.mode;
        if (mode.modeIndex == config.mode.modeIndex && mode.colorCoding == config.mode.colorCoding) {
            config.mode.name = mode.name;
            config.mode.rates = mode.rates;
            config.mode.bayer = mode.bayer;
            break;
        }
    }
    return config;
}

// A session sentence as the window shows it: capitalised, with its full stop.
QString Sentence(const std::string& text) {
    QString sentence = QString::fromStdString(text);
    if (sentence.isEmpty()) return sentence;
    sentence[0] = sentence[0].toUpper();
    return sentence.endsWith('.') ? sentence : sentence + ".";
}

// The Setting item that turns the frame logs beside recordings off.
constexpr const char* kFrameLogKey = "Setting/FrameLog";

// A name without a placeholder gets "-{camera}" before its extension, so that no two cameras
// share a file.
std::string FullPattern(const QString& pattern) {
    if (pattern.contains("{camera}") || pattern.contains("{guid}")) return pattern.toStdString();
    const QFileInfo file(pattern);
    const QString suffix = file.completeSuffix();
    return (file.path() + "/" + file.baseName() + "-{camera}" +
            (suffix.isEmpty() ? QString() : "." + suffix))
        .toStdString();
}

// The modes tried for a camera without a kept format, best first: colour as long as the
// grid's cameras fit the bus together.
struct Preferred {
    const char* mode;
    int rateIndex;
};
constexpr Preferred kPreferred[] = {
    {"640x480-rgb", 3}, {"640x480-yuv422", 3}, {"640x480-rgb", 2}, {"640x480-mono8", 3}};

CameraFormatChoice FixedChoice(const CameraModes::Mode& mode, int rateIndex) {
    CameraFormatChoice choice;
    choice.modeIndex = mode.modeIndex;
    choice.coding = mode.colorCoding;
    choice.rateIndex = rateIndex;
    choice.region = {0, 0, mode.width, mode.height};
    return choice;
}

}  // namespace

GridSession::GridSession(QObject* parent) : QObject(parent) {}

GridSession::~GridSession() {
    Stop();
    for (auto& camera : m_cameras) camera->pipeline->Free();
    m_cameras.clear();  // the claims go before the manager
    m_group.reset();
    m_pManager.reset();
}

bool GridSession::Open(const std::vector<int>& indices) {
    platform::MessageQueue& queue = platform::MessageQueue::ForCurrentThread();
    m_pQueueNotifier = new QSocketNotifier(queue.Fd(), QSocketNotifier::Read, this);
    connect(m_pQueueNotifier, &QSocketNotifier::activated, this,
            [] { platform::MessageQueue::ForCurrentThread().DispatchPending(); });
    session::Error error;
    m_pManager =
        session::CameraManager::Create(session::CameraManager::Threading::CallerThread, error);
    if (!m_pManager) return false;
    m_pManager->Device().SetColorTables(false, false, 10);
    const std::vector<session::CameraInfo> onBus = m_pManager->Cameras(error);
    std::vector<int> wanted = indices;
    if (wanted.empty())
        for (const session::CameraInfo& info : onBus) wanted.push_back(info.index);
    for (const int index : wanted) {
        auto camera = std::make_unique<GridCamera>();
        camera->info.index = index;
        const auto found = std::find_if(onBus.begin(), onBus.end(),
                                        [index](const auto& info) { return info.index == index; });
        if (found != onBus.end()) {
            camera->info = *found;
            camera->place = GridCamera::Place::Here;
        } else {
            camera->problem = QString("There is no camera %1 on the bus.").arg(index);
        }
        m_cameras.push_back(std::move(camera));
    }
    return true;
}

bool GridSession::Take(std::size_t tile) {
    GridCamera& c = At(tile);
    if (c.info.guid == 0 && c.info.path.empty()) return false;  // not on the bus
    c.place = GridCamera::Place::Here;
    c.problem.clear();
    session::Error error;
    session::CameraPick pick{c.info.index, {}};
    if (c.info.guid != 0) pick.guid = c.info.guid;
    c.camera = m_pManager->Acquire(pick, error);
    if (!c.camera) {
        c.problem = error.GetKind() == session::Error::Kind::InUse
                        ? "The camera is in use by another program."
                        : Sentence(error.Message());
        return false;
    }
    c.info.index = c.camera->Index(m_pManager->Device());
    c.format = CameraFormatChoice::Load(c.info.guid);
    if (!c.format) c.format = DefaultFormat(m_pManager->Device(), c.info.index);
    if (!c.format) c.problem = "The camera lists no video mode the grid can show.";
    return c.format.has_value();
}

std::optional<CameraFormatChoice> GridSession::DefaultFormat(C1394Dcam& cam, int camera) const {
    const std::vector<CameraModes::Mode> modes = CameraModes::Read(cam, camera);
    const unsigned share =
        BusBandwidth::kUnitsPerCycle / unsigned(std::max<std::size_t>(Count(), 1));
    for (const Preferred& preferred : kPreferred) {
        for (const CameraModes::Mode& mode : modes) {
            if (mode.name != preferred.mode || !mode.OffersRate(preferred.rateIndex)) continue;
            const CameraFormatChoice choice = FixedChoice(mode, preferred.rateIndex);
            if (BusBandwidth::Units(unsigned(choice.PacketBytes()), choice.speed) <= share)
                return choice;
        }
    }
    // Another maker's modes: the first fixed one at its slowest rate, which the bus carries best.
    for (const CameraModes::Mode& mode : modes) {
        if (mode.Format7()) continue;
        for (int rate = 0; rate < ::camera::kRateCount; ++rate)
            if (mode.OffersRate(rate)) return FixedChoice(mode, rate);
    }
    return std::nullopt;
}

bool GridSession::LetGo(std::size_t tile, const QString& why) {
    const bool restart = Running();
    if (restart) Stop();
    GridCamera& c = At(tile);
    c.pipeline->Free();
    c.camera.reset();
    c.place = GridCamera::Place::Elsewhere;
    c.problem = why;
    const bool others = std::any_of(m_cameras.begin(), m_cameras.end(),
                                    [](const auto& other) { return other->camera != nullptr; });
    return !restart || !others || Start();
}

session::StreamConfig GridSession::BaseConfig() const {
    session::StreamConfig config;
    // The rings share the memory a single camera's ring may take.
    config.ring =
        session::RingSize::Seconds(2, std::max(50 / int(std::max<std::size_t>(Count(), 1)), 5));
    return config;
}

bool GridSession::Start() {
    if (Running()) return true;
    m_strProblem.clear();
    std::vector<std::shared_ptr<session::Camera>> cameras;
    std::vector<session::StreamConfig> configs;
    std::vector<GridCamera*> members;
    for (auto& c : m_cameras) {
        if (!c->camera || !c->format) continue;
        c->problem.clear();
        cameras.push_back(c->camera);
        configs.push_back(OfferedConfig(*c->camera, c->format->Config(BaseConfig())));
        members.push_back(c.get());
    }
    if (members.empty()) {
        m_strProblem = "No camera of the grid can stream here.";
        return false;
    }
    auto group = std::make_unique<session::CameraGroup>(cameras);
    session::BusPlan plan;
    std::vector<std::shared_ptr<session::FrameStream>> streams;
    session::Error error = group->Configure(configs, plan);
    if (!error) error = group->Start(streams);
    if (error) {
        m_strProblem = Sentence(plan.refusal.empty() ? error.Message() : plan.refusal);
        return false;
    }
    m_group = std::move(group);
    C1394Dcam& cam = m_pManager->Device();
    for (std::size_t k = 0; k < members.size(); ++k) {
        GridCamera& c = *members[k];
        c.stream = streams[k];
        const int coding = c.format->coding;
        const BayerPattern bayer =
            coding == FrameConverter::Raw8 ? cam.GetBayerPattern(c.info.index) : BayerPattern::None;
        c.pipeline->Start(c.stream, cam.GetConverter(), coding, c.format->Width(),
                          c.format->Height(), c.stream->FrameBytes(), bayer);
        c.fps = -1;
        c.receivedAtSample = c.lostAtSample = 0;
        c.sampledAt = Clock::now();
    }
    return true;
}

void GridSession::Stop() {
    if (!Running()) return;
    if (Recording()) {
        QString ignored;
        StopRecording(ignored);
    }
    for (auto& c : m_cameras) c->pipeline->Stop();
    m_group->Stop();
    m_group.reset();
    for (auto& c : m_cameras) c->stream.reset();
}

QStringList GridSession::FileNames(const QString& pattern) const {
    const record::OutputPattern files(FullPattern(pattern));
    QStringList names;
    for (const auto& c : m_cameras)
        if (c->stream) names << QString::fromStdString(files.Expand(c->info.index, c->info.guid));
    return names;
}

QString GridSession::SyncPath(const QString& pattern) {
    return QString::fromStdString(record::OutputPattern(FullPattern(pattern)).SyncPath());
}

bool GridSession::StartRecording(const QString& pattern, QString& failure) {
    if (!Running() || Recording()) return false;
    const QStringList names = FileNames(pattern);
    const bool frameLog = QSettings("Tarnwell", "KestrixView").value(kFrameLogKey, true).toBool();
    record::GroupRecorder::Setup setup;
    // The recorder reads the frames beside the tiles' displays, each on a reader of its own.
    std::vector<std::shared_ptr<session::FrameStream>> readers;
    m_recorded.clear();
    for (auto& c : m_cameras) {
        if (!c->stream) continue;
        record::RecordingSetup file =
            record::RecordingSetup::Of(*c->camera, names[int(readers.size())].toStdString());
        file.frameLog = frameLog;
        setup.files.push_back(std::move(file));
        setup.cameras.push_back(c->info.index);
        readers.push_back(c->stream->Reader());
        m_recorded.push_back(c.get());
    }
    setup.syncPath = SyncPath(pattern).toStdString();
    std::uint32_t periodUs = 0;
    m_recorded.front()->camera->Call(
        [&](C1394Dcam& cam, int index) { periodUs = files::GetFramePeriod(cam, index); });
    constexpr double kMicrosecondsPerCycle = 125;
    const auto group = std::make_shared<session::StreamGroup>(
        readers, periodUs != 0 ? periodUs / kMicrosecondsPerCycle : 8000.0 / 15);
    std::string error;
    m_pRecorder = record::GroupRecorder::Start(group, std::move(setup), error);
    if (!m_pRecorder) {
        failure = QString("The cameras cannot record into %1: %2")
                      .arg(names.join(", "), Sentence(error));
        m_recorded.clear();
        return false;
    }
    for (std::size_t k = 0; k < m_recorded.size(); ++k) m_recorded[k]->file = names[int(k)];
    return true;
}

bool GridSession::StopRecording(QString& failure) {
    if (!Recording()) return true;
    std::string error;
    const bool finished = m_pRecorder->Stop(error);
    const record::GroupRecorder::Figures figures = m_pRecorder->GetFigures();
    QStringList problems;
    if (!finished) problems << Sentence(error);
    for (std::size_t k = 0; k < m_recorded.size(); ++k) {
        if (k < figures.dropped.size() && figures.dropped[k] > 0) {
            problems << QString("%1: %2 frames were dropped.")
                            .arg(m_recorded[k]->file)
                            .arg(figures.dropped[k]);
        }
        m_recorded[k]->file.clear();
    }
    m_pRecorder.reset();
    m_recorded.clear();
    failure = problems.join('\n');
    return problems.isEmpty();
}

std::uint64_t GridSession::Drops(const GridCamera& c) const {
    if (!c.stream) return 0;
    const session::StreamCounters counters = c.stream->Counters();
    std::uint64_t drops = counters.lost + counters.dropped;
    if (m_pRecorder) {
        const auto figures = m_pRecorder->GetFigures();
        for (std::size_t k = 0; k < m_recorded.size() && k < figures.dropped.size(); ++k)
            if (m_recorded[k] == &c) drops += figures.dropped[k];
    }
    return drops;
}

void GridSession::NoteFeatures() {
    for (std::size_t k = 0; k < m_recorded.size(); ++k) {
        std::vector<session::Feature> features;
        if (!m_recorded[k]->camera->Features(features)) m_pRecorder->NoteFeatures(k, features);
    }
}

void GridSession::Sample() {
    if (!Running()) return;
    const Clock::time_point now = Clock::now();
    for (auto& c : m_cameras) {
        if (!c->stream) continue;
        const session::Error end = c->stream->Watch();
        if (c->stream->Ended()) {
            m_strProblem = QString("Camera %1 stopped: %2")
                               .arg(c->info.index)
                               .arg(Sentence(end ? end.Message() : "the stream ended"));
            Stop();
            emit StreamsEnded();
            return;
        }
        const double seconds = std::chrono::duration<double>(now - c->sampledAt).count();
        if (seconds < 0.9) continue;
        const session::StreamCounters counters = c->stream->Counters();
        const double received = double(counters.received - c->receivedAtSample);
        const double lost = double(counters.lost - c->lostAtSample);
        // The frames' sent times give the camera's rate without the counting's jitter of a
        // frame a second; the received share of it is what arrived.
        const SentTimeMeter::Figures sent = c->pipeline->SentTimes().Take();
        c->fps = sent.meanIntervalUs > 0 && received > 0
                     ? 1e6 / sent.meanIntervalUs * received / (received + lost)
                     : received / seconds;
        c->receivedAtSample = counters.received;
        c->lostAtSample = counters.lost;
        c->sampledAt = now;
    }
    if (m_pRecorder) NoteFeatures();
}

QStringList GridSession::Caption(std::size_t tile) const {
    const GridCamera& c = At(tile);
    const std::string guid = c.info.GuidText();
    QString who = QString("%1: ").arg(c.info.index);
    if (c.place == GridCamera::Place::Missing) return {who + "not on the bus", QString()};
    who += QString::fromStdString(c.info.model.empty() ? c.info.vendor : c.info.model);
    if (!guid.empty()) who += " · " + QString::fromStdString(guid.substr(guid.size() - 8));
    QString what = c.format ? c.format->Text() : QString("no mode");
    if (c.stream) {
        what += c.fps < 0 ? QString(" · -- fps") : QString(" · %1 fps").arg(c.fps, 0, 'f', 1);
        what += QString(" · drops %1").arg(Drops(c));
        if (!c.file.isEmpty()) what += " · REC";
    } else if (c.place == GridCamera::Place::Here) {
        what += " · stopped";
    }
    return {who, what};
}
