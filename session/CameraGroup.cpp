// Several cameras of one bus set up one by one and started, triggered and stopped together.
#include "session/CameraGroup.h"

#include <algorithm>

#include "camera/CameraTrigger.h"
#include "camera/IidcRegisters.h"
#include "session/BusPlanner.h"

namespace kestrix::session {
namespace {

Error ForCamera(std::size_t camera, const Error& error) {
    return {error.GetKind(), "camera " + std::to_string(camera) + ": " + error.Message()};
}

}  // namespace

CameraGroup::CameraGroup(std::vector<std::shared_ptr<Camera>> cameras)
    : m_cameras(std::move(cameras)) {}

CameraGroup::~CameraGroup() { Stop(); }

Error CameraGroup::CheckCameras() const {
    if (m_cameras.empty()) return {Error::Kind::Refused, "a camera group needs cameras"};
    for (const auto& camera : m_cameras) {
        // One manager is one bus: a broadcast reaches no camera of another.
        if (!camera || &camera->Manager() != &m_cameras.front()->Manager()) {
            return {Error::Kind::Refused, "the cameras of a group are on one bus"};
        }
    }
    return {};
}

bool CameraGroup::OneModel() const {
    const CameraInfo& first = m_cameras.front()->Info();
    for (const auto& camera : m_cameras) {
        const CameraInfo& info = camera->Info();
        if (info.vendorId != first.vendorId || info.vendor != first.vendor ||
            info.model != first.model)
            return false;
    }
    return true;
}

Error CameraGroup::Configure(const std::vector<StreamConfig>& configs, BusPlan& plan) {
    if (Error error = CheckCameras()) return error;
    if (configs.size() != m_cameras.size()) {
        return {Error::Kind::Refused, "a camera group takes one configuration per camera"};
    }
    if (Error error = BusPlanner::Plan(m_cameras, configs, plan)) return error;
    if (!plan.fits) return {Error::Kind::Refused, plan.refusal};
    for (std::size_t i = 0; i < m_cameras.size(); ++i) {
        // The plan's configuration carries the packet size it chose for the camera.
        const StreamConfig& config = i < plan.cameras.size() ? plan.cameras[i].config : configs[i];
        if (Error error = m_cameras[i]->Configure(config)) return ForCamera(i, error);
    }
    return {};
}

Error CameraGroup::Start(std::vector<std::shared_ptr<FrameStream>>& streams) {
    if (Error error = CheckCameras()) return error;
    streams.assign(m_cameras.size(), nullptr);
    // Every capture listens before any camera sends, so each stream has its first frame.
    for (std::size_t i = 0; i < m_cameras.size(); ++i) {
        if (Error error = m_cameras[i]->Start(streams[i], false)) {
            // Only what this start began is stopped: a camera already streaming stays so.
            for (std::size_t started = 0; started < i; ++started) m_cameras[started]->Stop();
            streams.clear();
            return ForCamera(i, error);
        }
    }
    m_bBroadcast = OneModel();
    // Each camera is set as for a start of its own; one write then starts them all.
    Error error =
        m_bBroadcast
            ? EachCamera([](Camera& camera) { return camera.SetTransmission(true, false); })
            : EachCamera([](Camera& camera) { return camera.SetTransmission(true); });
    if (!error && m_bBroadcast) error = Broadcast(camera::iidc::kIsoEnable, camera::iidc::kBit31);
    if (error) {
        Stop();
        streams.clear();
    }
    return error;
}

Error CameraGroup::Broadcast(std::uint32_t offset, std::uint32_t value) {
    return m_cameras.front()->Call([&](C1394Dcam& cam, int index) {
        return cam.BroadcastCommand(index, offset, value)
                   ? Error()
                   : Error(Error::Kind::Failed, "the broadcast to the cameras was not sent");
    });
}

Error CameraGroup::EachCamera(const std::function<Error(Camera&)>& job) {
    for (std::size_t i = 0; i < m_cameras.size(); ++i) {
        if (Error error = job(*m_cameras[i])) return ForCamera(i, error);
    }
    return {};
}

Error CameraGroup::Trigger() {
    if (Error error = CheckCameras()) return error;
    for (std::size_t i = 0; i < m_cameras.size(); ++i) {
        if (m_cameras[i]->GetState() != Camera::State::Streaming) {
            return {Error::Kind::WrongState, "camera " + std::to_string(i) + " is not streaming"};
        }
    }
    // A pulse (mode 1) is released after its assertion; one broadcast serves cameras of one
    // model only while they all take it the same way.
    std::vector<unsigned> modes;
    if (Error error = EachCamera([&](Camera& camera) {
            return camera.Call([&](C1394Dcam& cam, int index) {
                CameraTrigger::Setting setting;
                if (!camera.Trigger(cam, index).Read(setting))
                    return Error(Error::Kind::Failed, "its trigger cannot be read");
                modes.push_back(setting.mode);
                return Error();
            });
        }))
        return error;
    const bool oneMode = std::all_of(modes.begin(), modes.end(),
                                     [&](unsigned mode) { return mode == modes.front(); });
    if (!OneModel() || !oneMode) {
        return EachCamera([](Camera& camera) {
            return camera.Call([&](C1394Dcam& cam, int index) {
                return camera.Trigger(cam, index).Fire()
                           ? Error()
                           : Error(Error::Kind::Failed, "the software trigger was not written");
            });
        });
    }
    if (Error error = Broadcast(camera::iidc::kSoftwareTrigger, camera::iidc::kBit31)) return error;
    return modes.front() == 1 ? Broadcast(camera::iidc::kSoftwareTrigger, 0) : Error();
}

Error CameraGroup::Stop() {
    Error first;
    for (std::size_t i = 0; i < m_cameras.size(); ++i) {
        if (!m_cameras[i] || m_cameras[i]->GetState() != Camera::State::Streaming) continue;
        if (Error error = m_cameras[i]->Stop(); error && !first) first = ForCamera(i, error);
    }
    return first;
}

}  // namespace kestrix::session
