// Finding, claiming and setting up a camera for Python.
#include "python/src/CameraSession.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "camera/CameraFeatures.h"
#include "camera/VideoModeTables.h"
#include "python/src/Errors.h"
#include "python/src/FrameStream.h"

namespace kxpy {
namespace {

constexpr const char* kDefaultMode = "640x480-rgb";  // kestrix-capture's
constexpr double kSlowestRate = 1.875;

double RateOf(int rateIndex) { return kSlowestRate * double(1 << rateIndex); }

std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%016llX", static_cast<unsigned long long>(value));
    return text;
}

std::vector<CameraInfo> ReadTable(C1394Dcam& cam) {
    std::vector<CameraInfo> cameras;
    for (int i = 0; i < cam.GetDeviceCount(C1394Dcam::kCameraDevices); ++i) {
        CameraInfo info;
        info.index = i;
        info.vendorId = cam.GetVendorId(i);
        info.path = cam.GetDevicePath(unsigned(cam.GetCameraDevice(i)));
        if (!cam.SelectCamera(i) || !cam.GetUnitGuid(&info.guid)) {
            throw Error("the configuration of camera " + std::to_string(i) + " cannot be read");
        }
        cameras.push_back(std::move(info));
    }
    return cameras;
}

void Check(const CameraFeatures::Outcome& outcome) {
    switch (outcome.status) {
        case CameraFeatures::Status::Ok:
            return;
        case CameraFeatures::Status::Refused:
            throw std::invalid_argument(outcome.message);
        case CameraFeatures::Status::Failed:
            break;
    }
    throw Error(outcome.message);
}

void CheckFeatureName(const std::string& name) {
    if (!CameraFeatures::IsName(name)) {
        throw UnknownName("no feature " + name + ": " + CameraFeatures::NameHint());
    }
}

std::mutex g_openLock;
std::vector<std::weak_ptr<CameraSession>> g_open;  // guarded by g_openLock

}  // namespace

std::vector<CameraInfo> CameraSession::List() {
    return SharedCameraThread()->Call(ReadTable);
}

std::shared_ptr<CameraSession> CameraSession::Open(int index, std::optional<std::uint64_t> guid) {
    std::shared_ptr<CameraOwnerThread> worker = SharedCameraThread();
    const std::vector<CameraInfo> cameras = worker->Call(ReadTable);
    if (cameras.empty()) throw NoCameraError("no camera found (is kestrix-busd running?)");
    const CameraInfo* found = nullptr;
    for (const CameraInfo& info : cameras) {
        if (guid ? info.guid == *guid : info.index == index) found = &info;
    }
    if (found == nullptr) {
        throw NoCameraError(guid ? "no camera with id " + Hex(*guid) + " (see list_cameras())"
                                 : "no camera " + std::to_string(index) + ": the bus has " +
                                       std::to_string(cameras.size()) + " (see list_cameras())");
    }
    auto session = std::make_shared<CameraSession>(Key(), worker, *found);
    std::string error;
    switch (session->m_claim.Take(found->path, found->guid, error)) {
        case CameraLock::Result::Taken:
            break;
        case CameraLock::Result::InUse:
            throw CameraInUseError("the camera is in use by another program");
        case CameraLock::Result::Failed:
            throw Error(error);
    }
    std::scoped_lock lock(g_openLock);
    std::erase_if(g_open, [](const auto& weak) { return weak.expired(); });
    g_open.push_back(session);
    return session;
}

void CameraSession::CloseAll() {
    std::vector<std::shared_ptr<CameraSession>> open;
    {
        std::scoped_lock lock(g_openLock);
        for (const auto& weak : g_open) {
            if (auto session = weak.lock()) open.push_back(std::move(session));
        }
        g_open.clear();
    }
    for (const auto& session : open) session->Close();
}

CameraSession::CameraSession(Key, std::shared_ptr<CameraOwnerThread> worker, CameraInfo info)
    : m_worker(std::move(worker)), m_info(std::move(info)) {}

CameraSession::~CameraSession() { Close(); }

void CameraSession::Close() {
    if (auto stream = m_stream.lock()) stream->Close();
    m_claim.Release();
    m_worker.reset();
}

CameraOwnerThread& CameraSession::Worker() {
    if (!m_worker) throw Error("the camera is closed");
    return *m_worker;
}

int CameraSession::Index(C1394Dcam& cam) const {
    for (int i = 0; i < cam.GetDeviceCount(C1394Dcam::kCameraDevices); ++i) {
        if (cam.GetDevicePath(unsigned(cam.GetCameraDevice(i))) == m_info.path) return i;
    }
    throw NoCameraError("the camera is gone from the bus (was it unplugged?)");
}

std::vector<ModeInfo> CameraSession::Modes() {
    return Worker().Call([this](C1394Dcam& cam) {
        std::vector<ModeInfo> modes;
        for (const CameraModes::Mode& mode : CameraModes::Read(cam, Index(cam))) {
            ModeInfo info{
                mode.name, mode.width,     mode.height, CameraModes::CodingName(mode.colorCoding),
                {},        mode.Format7(), {}};
            if (mode.bayer != BayerPattern::None) info.bayer = BayerPatternName(mode.bayer);
            for (int rate = 0; rate < camera::kRateCount && !mode.Format7(); ++rate) {
                if (mode.OffersRate(rate)) info.rates.push_back(RateOf(rate));
            }
            modes.push_back(std::move(info));
        }
        return modes;
    });
}

CameraModes::Mode CameraSession::FindMode(C1394Dcam& cam, int camera,
                                          const std::string& name) const {
    if (auto mode = CameraModes::Find(cam, camera, name)) return *mode;
    throw std::invalid_argument("camera " + std::to_string(camera) + " does not offer " + name +
                                " (see modes)");
}

void CameraSession::EnsureMode() {
    if (!m_mode.empty()) return;
    const CameraModes::Mode mode = Worker().Call([this](C1394Dcam& cam) {
        const int camera = Index(cam);
        if (auto preferred = CameraModes::Find(cam, camera, kDefaultMode)) return *preferred;
        const std::vector<CameraModes::Mode> modes = CameraModes::Read(cam, camera);
        if (modes.empty()) throw Error("the camera lists no video mode");
        return modes.front();
    });
    m_mode = mode.name;
    m_bFormat7 = mode.Format7();
    if (!mode.OffersRate(m_nRateIndex)) SetMode(mode.name);
}

const std::string& CameraSession::Mode() {
    EnsureMode();
    return m_mode;
}

void CameraSession::RefuseWhileStreaming() const {
    const auto stream = m_stream.lock();
    if (stream && !stream->IsClosed()) {
        throw Error("the camera streams: close the stream before changing its mode or rate");
    }
}

void CameraSession::SetMode(const std::string& name) {
    RefuseWhileStreaming();
    if (!CameraModes::IsModeName(name)) {
        throw std::invalid_argument("not a mode name: '" + name +
                                    "' (WIDTHxHEIGHT-CODING, such as 640x480-mono8)");
    }
    Worker().Call([&](C1394Dcam& cam) {
        const int camera = Index(cam);
        const CameraModes::Mode mode = FindMode(cam, camera, name);
        // A rate the new mode lacks gives way to the fastest it offers.
        if (!mode.OffersRate(m_nRateIndex)) {
            for (int rate = 0; rate < camera::kRateCount; ++rate) {
                if (mode.OffersRate(rate)) m_nRateIndex = rate;
            }
        }
        m_mode = mode.name;
        m_bFormat7 = mode.Format7();
        Apply(cam, camera);
    });
}

std::optional<double> CameraSession::Rate() {
    EnsureMode();
    if (m_bFormat7) return std::nullopt;
    return RateOf(m_nRateIndex);
}

void CameraSession::SetRate(double fps) {
    RefuseWhileStreaming();
    EnsureMode();
    if (m_bFormat7) {
        throw std::invalid_argument(m_mode + " is a Format 7 mode: its packet size sets its rate");
    }
    Worker().Call([&](C1394Dcam& cam) {
        const int camera = Index(cam);
        const CameraModes::Mode mode = FindMode(cam, camera, m_mode);
        std::string offered;
        for (int rate = 0; rate < camera::kRateCount; ++rate) {
            if (!mode.OffersRate(rate)) continue;
            if (std::abs(RateOf(rate) - fps) < 1e-9) {
                m_nRateIndex = rate;
                Apply(cam, camera);
                return;
            }
            offered += std::string(offered.empty() ? "" : ", ") + CameraModes::RateName(rate);
        }
        char text[32];
        std::snprintf(text, sizeof text, "%g", fps);
        throw std::invalid_argument(m_mode + " does not run at " + text + " fps; it offers " +
                                    offered);
    });
}

CameraModes::Mode CameraSession::Apply(C1394Dcam& cam, int camera) {
    const CameraModes::Mode mode = FindMode(cam, camera, m_mode);
    cam.StopTransmission(camera);
    const C1394Dcam::Rect area{0, 0, mode.width - 1, mode.height - 1};
    const bool set = mode.Format7()
                         ? cam.SetFormat7Mode(camera, mode.modeIndex, mode.colorCoding, &area)
                         : cam.SetVideoMode(camera, mode.modeIndex, m_nRateIndex, false);
    if (!set) {
        throw Error("the camera refused " + m_mode +
                    (mode.Format7() ? "" : std::string(" at ") +
                                               CameraModes::RateName(m_nRateIndex) + " fps"));
    }
    return mode;
}

std::string CameraSession::GetFeature(const std::string& name) {
    CheckFeatureName(name);
    return Worker().Call([&](C1394Dcam& cam) {
        CameraFeatures::Values values;
        Check(CameraFeatures(cam, Index(cam)).Get(name, values));
        return values.empty() ? std::string() : values.front().second;
    });
}

void CameraSession::SetFeature(const std::string& name, const std::string& value) {
    CheckFeatureName(name);
    const std::string setting = name + "=" + value;
    if (const std::string why = CameraFeatures::CheckSetting(setting); !why.empty()) {
        throw std::invalid_argument(why);
    }
    Worker().Call([&](C1394Dcam& cam) { Check(CameraFeatures(cam, Index(cam)).Set(setting)); });
}

std::vector<std::pair<std::string, std::string>> CameraSession::Features() {
    return Worker().Call([&](C1394Dcam& cam) {
        CameraFeatures::Values values;
        Check(CameraFeatures(cam, Index(cam)).Get("all", values));
        return values;
    });
}

std::shared_ptr<FrameStream> CameraSession::Stream(int buffers) {
    if (buffers < 2) {
        throw std::invalid_argument("a stream needs at least 2 buffers, not " +
                                    std::to_string(buffers));
    }
    if (auto running = m_stream.lock(); running && !running->IsClosed()) {
        throw Error("the camera streams already: close that stream first");
    }
    EnsureMode();
    auto stream = std::make_shared<FrameStream>(shared_from_this(), buffers);
    m_stream = stream;
    return stream;
}

}  // namespace kxpy
