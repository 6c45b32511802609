// Stands in for the camera group until its own implementation lands: every camera set up and
// started one after the other, without a broadcast.
#include "session/CameraGroup.h"

namespace kestrix::session {

CameraGroup::CameraGroup(std::vector<std::shared_ptr<Camera>> cameras)
    : m_cameras(std::move(cameras)) {}

CameraGroup::~CameraGroup() { Stop(); }

Error CameraGroup::Configure(const std::vector<StreamConfig>& configs, BusPlan& plan) {
    plan = {};
    for (std::size_t i = 0; i < m_cameras.size(); ++i)
        if (Error error = m_cameras[i]->Configure(configs[i])) return error;
    plan.fits = true;
    return {};
}

Error CameraGroup::Start(std::vector<std::shared_ptr<FrameStream>>& streams) {
    streams.assign(m_cameras.size(), nullptr);
    for (std::size_t i = 0; i < m_cameras.size(); ++i) {
        if (Error error = m_cameras[i]->Start(streams[i], false)) {
            Stop();
            return error;
        }
    }
    for (const auto& camera : m_cameras) {
        if (Error error = camera->SetTransmission(true)) {
            Stop();
            return error;
        }
    }
    m_bBroadcast = false;
    return {};
}

Error CameraGroup::Trigger() { return {}; }

Error CameraGroup::Stop() {
    Error first;
    for (const auto& camera : m_cameras) {
        if (camera->GetState() != Camera::State::Streaming) continue;
        Error error = camera->Stop();
        if (error && !first) first = error;
    }
    return first;
}

}  // namespace kestrix::session
