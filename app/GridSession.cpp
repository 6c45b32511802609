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
#include "session/ModeOffer.h"

namespace {

namespace session = kestrix::session;
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

// Stands in for the pattern expansion of the recording layer until the grid can share it.
QString ExpandCameraPattern(QString pattern, int camera, std::uint64_t guid) {
    return pattern.replace("{camera}", QString::number(camera))
        .replace("{guid}", QString::fromStdString(session::CameraInfo::GuidText(guid)));
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
    if (m_bRecording) {
        QString ignored;
        StopRecording(ignored);
    }
    for (auto& c : m_cameras) c->pipeline->Stop();
    m_group->Stop();
    m_group.reset();
    for (auto& c : m_cameras) c->stream.reset();
}

QStringList GridSession::FileNames(const QString& pattern) const {
    QString full = pattern;
    if (!full.contains("{camera}")) {
        const QFileInfo file(full);
        const QString suffix = file.completeSuffix();
        full = file.path() + "/" + file.baseName() + "-{camera}" +
               (suffix.isEmpty() ? QString() : "." + suffix);
    }
    QStringList names;
    for (const auto& c : m_cameras)
        if (c->stream) names << ExpandCameraPattern(full, c->info.index, c->info.guid);
    return names;
}

bool GridSession::StartRecording(const QString& pattern, QString& failure) {
    if (!Running() || m_bRecording) return false;
    const QStringList names = FileNames(pattern);
    const bool standardFourCC =
        QSettings("Tarnwell", "KestrixView").value("Setting/RawAviFourCC", 0).toInt() == 1;
    int next = 0;
    for (auto& c : m_cameras) {
        if (!c->stream) continue;
        const QString name = names[next++];
        const QByteArray path = name.toLocal8Bit();
        bool recording = false;
        std::string why;
        c->camera->Call([&](C1394Dcam& cam, int index) {
            recording = files::OpenAviFile(cam, index, path.constData(), false, standardFourCC) &&
                        files::StartAviRecording(cam, index);
            if (!recording) why = files::GetAviErrorText(cam, index);
        });
        if (!recording) {
            failure = QString("Camera %1 cannot record into %2%3")
                          .arg(c->info.index)
                          .arg(name, why.empty() ? QString(".") : ": " + Sentence(why));
            CloseRecordings();
            return false;
        }
        c->file = name;
    }
    m_bRecording = true;
    return true;
}

void GridSession::CloseRecordings() {
    for (auto& c : m_cameras) {
        if (c->file.isEmpty()) continue;
        c->camera->Call([](C1394Dcam& cam, int index) { files::CloseAviFile(cam, index); });
        c->file.clear();
    }
}

bool GridSession::StopRecording(QString& failure) {
    if (!m_bRecording) return true;
    QStringList problems;
    for (auto& c : m_cameras) {
        if (c->file.isEmpty()) continue;
        c->camera->Call([&](C1394Dcam& cam, int index) {
            files::PauseAviRecording(cam, index);
            const bool finished = files::CloseAviFile(cam, index);
            const int dropped = files::GetAviDropped(cam, index);
            if (!finished)
                problems << QString("%1: %2").arg(c->file,
                                                  Sentence(files::GetAviErrorText(cam, index)));
            else if (dropped > 0)
                problems << QString("%1: %2 frames were dropped.").arg(c->file).arg(dropped);
        });
        c->file.clear();
    }
    m_bRecording = false;
    failure = problems.join('\n');
    return problems.isEmpty();
}

std::uint64_t GridSession::Drops(const GridCamera& c) const {
    if (!c.stream) return 0;
    const session::StreamCounters counters = c.stream->Counters();
    std::uint64_t drops = counters.lost + counters.dropped;
    if (!c.file.isEmpty() && c.camera) {
        c.camera->Call([&](C1394Dcam& cam, int index) {
            drops += std::uint64_t(std::max(files::GetAviDropped(cam, index), 0));
        });
    }
    return drops;
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
