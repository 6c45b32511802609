// Opening the camera library on the right thread, listing and claiming cameras, hearing notices.
#include "session/CameraManager.h"

#include "bus/DriverCodes.h"
#include "platform/MessageQueue.h"
#include "session/Camera.h"

namespace kestrix::session {
namespace {

std::mutex g_sharedLock;
std::weak_ptr<CameraManager> g_shared;  // guarded by g_sharedLock

}  // namespace

CameraManager::CameraManager(Key, Threading threading) : m_threading(threading) {}

std::shared_ptr<CameraManager> CameraManager::Create(Threading threading, Error& error) {
    auto manager = std::make_shared<CameraManager>(Key{}, threading);
    if (!manager->Open(error)) return nullptr;
    return manager;
}

std::shared_ptr<CameraManager> CameraManager::Shared(Error& error) {
    std::scoped_lock lock(g_sharedLock);
    if (auto manager = g_shared.lock()) return manager;
    auto manager = Create(Threading::OwnThread, error);
    g_shared = manager;
    return manager;
}

bool CameraManager::Open(Error& error) {
    if (m_threading == Threading::OwnThread) {
        m_pOwner = std::make_unique<CameraOwnerThread>(
            [this](std::uint32_t message) { OnNotice(message); });
        if (m_pOwner->IsOpen()) return true;
        m_pOwner.reset();
    } else {
        m_pCam = std::make_unique<C1394Dcam>();
        m_pClient = platform::MessageEndpoint::Create([this](const platform::Message& message) {
            OnNotice(message.msg);
            return std::int64_t{0};
        });
        if (m_pClient && m_pCam->Open()) {
            m_pCam->RegisterClient(m_pClient->Handle(), bus::kWmCameraDeviceList);
            return true;
        }
        m_pClient.reset();
        m_pCam.reset();
    }
    error = Error(Error::Kind::Failed, "the camera library could not be opened");
    return false;
}

CameraManager::~CameraManager() {
    if (m_pCam) {
        if (m_pClient) m_pCam->UnregisterClient(m_pClient->Handle());
        m_pCam->Close();
    }
}

int CameraManager::NoticeFd() const { return platform::MessageQueue::ForCurrentThread().Fd(); }

void CameraManager::Pump(std::chrono::milliseconds wait) {
    auto& queue = platform::MessageQueue::ForCurrentThread();
    if (wait.count() > 0) {
        queue.Pump(wait);
    } else {
        queue.DispatchPending();
    }
}

void CameraManager::OnNotice(std::uint32_t message) {
    std::optional<Notice> notice;
    if (message == bus::kWmCameraDeviceList) {
        ++m_nDeviceChanges;
        notice = Notice::DeviceChange;
    }
    if (message == bus::kWmCameraBusReset) {
        ++m_nBusResets;
        notice = Notice::BusReset;
    }
    if (notice == Notice::DeviceChange) {
        std::vector<std::shared_ptr<Camera>> cameras;
        {
            std::scoped_lock lock(m_camerasLock);
            std::erase_if(m_cameras, [](const auto& weak) { return weak.expired(); });
            for (const auto& weak : m_cameras) {
                if (auto camera = weak.lock()) cameras.push_back(std::move(camera));
            }
        }
        // The notice comes on the owner thread, where the camera object is this one.
        C1394Dcam& cam = m_pOwner ? m_pOwner->Device() : *m_pCam;
        for (const auto& camera : cameras) camera->OnDevicesChanged(cam);
    }
    if (notice && m_handler) m_handler(*notice);
}

std::uint64_t CameraManager::BusResets() const { return m_nBusResets; }
std::uint64_t CameraManager::DeviceChanges() const { return m_nDeviceChanges; }

std::vector<CameraInfo> CameraManager::Cameras(Error& error) {
    return Call([&](C1394Dcam& cam) {
        std::vector<CameraInfo> cameras;
        for (int i = 0; i < cam.GetDeviceCount(C1394Dcam::kCameraDevices); ++i) {
            cameras.push_back(CameraInfo::Read(cam, i));
            if (cameras.back().guid == 0) {
                error = Error(Error::Kind::Failed, "the configuration of camera " +
                                                       std::to_string(i) + " cannot be read");
            }
        }
        return cameras;
    });
}

std::optional<CameraInfo> CameraManager::Pick(const CameraPick& pick, Error& error) {
    Error listing;
    const std::vector<CameraInfo> cameras = Cameras(listing);
    if (cameras.empty()) {
        error = Error(Error::Kind::NotFound);
        return {};
    }
    for (const CameraInfo& info : cameras) {
        if (pick.guid ? info.guid == *pick.guid : info.index == pick.index) return info;
    }
    // "no camera with GUID ...", as kestrixsrc has said it.
    error = pick.guid ? Error(Error::Kind::NotFound, "no camera with GUID " +
                                                         CameraInfo::GuidText(*pick.guid) +
                                                         " on the bus")
                      : Error(Error::Kind::NotFound,
                              "no camera " + std::to_string(pick.index) + ": the bus has " +
                                  std::to_string(cameras.size()));
    return {};
}

std::shared_ptr<Camera> CameraManager::Keep(const CameraInfo& info, CameraLock claim) {
    auto camera = std::make_shared<Camera>(shared_from_this(), info, std::move(claim));
    std::scoped_lock lock(m_camerasLock);
    m_cameras.push_back(camera);
    return camera;
}

std::shared_ptr<Camera> CameraManager::Acquire(const CameraPick& pick, Error& error) {
    const std::optional<CameraInfo> found = Pick(pick, error);
    if (!found) return nullptr;
    CameraLock claim;
    std::string why;
    switch (claim.Take(found->path, found->guid, why)) {
        case CameraLock::Result::Taken:
            break;
        case CameraLock::Result::InUse:
            error = Error(Error::Kind::InUse);
            return nullptr;
        case CameraLock::Result::Failed:
            error = Error(Error::Kind::Failed, why);
            return nullptr;
    }
    return Keep(*found, std::move(claim));
}

std::shared_ptr<Camera> CameraManager::Find(const CameraPick& pick, Error& error) {
    const std::optional<CameraInfo> found = Pick(pick, error);
    return found ? Keep(*found, CameraLock{}) : nullptr;
}

}  // namespace kestrix::session
