// Finding, claiming and setting up a camera for Python.
#include "python/src/CameraSession.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <stdexcept>

#include "camera/CameraFeatures.h"
#include "camera/VideoModeTables.h"
#include "python/src/Errors.h"
#include "python/src/FrameStream.h"

namespace kxpy {
namespace {

constexpr const char* kDefaultMode = "640x480-rgb";  // kestrix-capture's

double RateOf(int rateIndex) { return session::ModeOffer::RateOf(rateIndex).Value(); }

std::shared_ptr<session::CameraManager> Manager() {
    session::Error error;
    auto manager = session::CameraManager::Shared(error);
    if (!manager) throw Error(error.Message() + " (KESTRIX_LOG=bus:debug shows why)");
    return manager;
}

void CheckFeatureName(const std::string& name) {
    if (!CameraFeatures::IsName(name)) {
        throw UnknownName("no feature " + name + ": " + CameraFeatures::NameHint());
    }
}

std::mutex g_openLock;
std::vector<std::weak_ptr<CameraSession>> g_open;  // guarded by g_openLock

}  // namespace

std::vector<session::CameraInfo> CameraSession::List() {
    session::Error error;
    std::vector<session::CameraInfo> cameras = Manager()->Cameras(error);
    Check(error);
    return cameras;
}

std::shared_ptr<CameraSession> CameraSession::Open(int index, std::optional<std::uint64_t> guid) {
    session::Error error;
    std::shared_ptr<session::Camera> camera = Manager()->Acquire({index, guid}, error);
    if (error.GetKind() == session::Error::Kind::NotFound &&
        error.Message().find(" on the bus") != std::string::npos) {
        error = session::Error(error.GetKind(), error.Message() + " (see list_cameras())");
    }
    Check(error);
    auto opened = std::make_shared<CameraSession>(Key(), std::move(camera));
    std::scoped_lock lock(g_openLock);
    std::erase_if(g_open, [](const auto& weak) { return weak.expired(); });
    g_open.push_back(opened);
    return opened;
}

void CameraSession::CloseAll() {
    std::vector<std::shared_ptr<CameraSession>> open;
    {
        std::scoped_lock lock(g_openLock);
        for (const auto& weak : g_open) {
            if (auto opened = weak.lock()) open.push_back(std::move(opened));
        }
        g_open.clear();
    }
    for (const auto& opened : open) opened->Close();
}

bool CameraSession::AnyOpen() {
    std::scoped_lock lock(g_openLock);
    return std::any_of(g_open.begin(), g_open.end(), [](const auto& weak) {
        const auto opened = weak.lock();
        return opened && !opened->IsClosed();
    });
}

CameraSession::CameraSession(Key, std::shared_ptr<session::Camera> camera)
    : m_pCamera(std::move(camera)), m_info(m_pCamera->Info()) {}

CameraSession::~CameraSession() { Close(); }

void CameraSession::Close() {
    if (auto stream = m_stream.lock()) stream->Close();
    if (m_pCamera) m_pCamera->Release();
    m_pCamera.reset();
}

session::Camera& CameraSession::Camera() {
    if (!m_pCamera) throw Error("the camera is closed");
    return *m_pCamera;
}

std::vector<ModeInfo> CameraSession::Modes() {
    std::vector<session::ModeOffer> offers;
    Check(Camera().Modes(offers));
    std::vector<ModeInfo> modes;
    for (const session::ModeOffer& offer : offers) {
        const CameraModes::Mode& mode = offer.mode;
        ModeInfo info{
            mode.name, mode.width,     mode.height, CameraModes::CodingName(mode.colorCoding),
            {},        mode.Format7(), {}};
        if (mode.bayer != BayerPattern::None) info.bayer = BayerPatternName(mode.bayer);
        // The offer lists the fastest first; Python's list goes up.
        for (auto it = offer.rateIndexes.rbegin(); it != offer.rateIndexes.rend(); ++it) {
            info.rates.push_back(RateOf(*it));
        }
        modes.push_back(std::move(info));
    }
    return modes;
}

void CameraSession::EnsureMode() {
    if (m_mode) return;
    CameraModes::Mode mode;
    if (Camera().FindMode(kDefaultMode, mode)) {
        std::vector<session::ModeOffer> offers;
        Check(Camera().Modes(offers));
        mode = offers.front().mode;
    }
    m_mode = mode;
    if (!mode.OffersRate(m_nRateIndex)) SetMode(mode.name);
}

const std::string& CameraSession::Mode() {
    EnsureMode();
    return m_mode->name;
}

void CameraSession::RefuseWhileStreaming() const {
    const auto stream = m_stream.lock();
    if (stream && !stream->IsClosed()) {
        throw Error("the camera streams: close the stream before changing its mode or rate");
    }
}

void CameraSession::SetMode(const std::string& name) {
    RefuseWhileStreaming();
    CameraModes::Mode mode;
    Check(Camera().FindMode(name, mode));
    // A rate the new mode lacks gives way to the fastest it offers.
    if (!mode.OffersRate(m_nRateIndex)) {
        for (int rate = 0; rate < camera::kRateCount; ++rate) {
            if (mode.OffersRate(rate)) m_nRateIndex = rate;
        }
    }
    m_mode = mode;
    Apply();
}

std::optional<double> CameraSession::Rate() {
    EnsureMode();
    if (m_mode->Format7()) return std::nullopt;
    return RateOf(m_nRateIndex);
}

void CameraSession::SetRate(double fps) {
    RefuseWhileStreaming();
    EnsureMode();
    if (m_mode->Format7()) {
        throw std::invalid_argument(m_mode->name +
                                    " is a Format 7 mode: its packet size sets its rate");
    }
    std::string offered;
    for (int rate = 0; rate < camera::kRateCount; ++rate) {
        if (!m_mode->OffersRate(rate)) continue;
        if (std::abs(RateOf(rate) - fps) < 1e-9) {
            m_nRateIndex = rate;
            Apply();
            return;
        }
        offered += std::string(offered.empty() ? "" : ", ") + CameraModes::RateName(rate);
    }
    char text[32];
    std::snprintf(text, sizeof text, "%g", fps);
    throw std::invalid_argument(m_mode->name + " does not run at " + text + " fps; it offers " +
                                offered);
}

session::StreamConfig CameraSession::Config() {
    EnsureMode();
    session::StreamConfig config;
    config.mode = *m_mode;
    config.rateIndex = m_nRateIndex;
    return config;
}

void CameraSession::Apply() { Check(Camera().Configure(Config())); }

session::Feature CameraSession::GetFeature(const std::string& name) {
    CheckFeatureName(name);
    session::Feature feature;
    Check(Camera().GetFeature(name, feature));
    return feature;
}

void CameraSession::SetFeature(const std::string& name, const std::string& value) {
    CheckFeatureName(name);
    Check(Camera().SetFeature(name + "=" + value));
}

std::vector<std::pair<std::string, session::Feature>> CameraSession::Features() {
    std::vector<session::Feature> features;
    Check(Camera().Features(features));
    std::vector<std::pair<std::string, session::Feature>> items;
    for (session::Feature& feature : features) items.emplace_back(feature.name, std::move(feature));
    return items;
}

std::shared_ptr<FrameStream> CameraSession::Stream(int buffers) {
    if (buffers < 2) {
        throw std::invalid_argument("a stream needs at least 2 buffers, not " +
                                    std::to_string(buffers));
    }
    if (auto running = m_stream.lock(); running && !running->IsClosed()) {
        throw Error("the camera streams already: close that stream first");
    }
    auto stream = std::make_shared<FrameStream>(shared_from_this(), buffers);
    m_stream = stream;
    return stream;
}

}  // namespace kxpy
