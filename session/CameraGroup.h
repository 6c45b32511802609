// Cameras of one bus that stream together: set up one by one, then started in one bus cycle by
// a broadcast write of ISO_EN when they are all of one model (the IIDC command registers accept
// a broadcast), else by back-to-back writes. The same for the software trigger.
//
// Threading: as Camera's; the cameras share one CameraManager.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "session/BusPlan.h"
#include "session/Camera.h"
#include "session/Error.h"
#include "session/FrameStream.h"
#include "session/StreamConfig.h"

namespace kestrix::session {

class CameraGroup {
public:
    // Acquired cameras of one manager, in the order their frames are paired.
    explicit CameraGroup(std::vector<std::shared_ptr<Camera>> cameras);
    ~CameraGroup();  // stops a running group

    const std::vector<std::shared_ptr<Camera>>& Cameras() const { return m_cameras; }

    // Plans the configurations (BusPlanner::Plan) and configures every camera; Refused with
    // the plan's sentence when they do not fit. configs: one per camera.
    Error Configure(const std::vector<StreamConfig>& configs, BusPlan& plan);
    // Starts every capture, then every camera's transmission at once; streams: one per camera.
    Error Start(std::vector<std::shared_ptr<FrameStream>>& streams);
    // Whether the last Start sent one broadcast (true) or back-to-back writes.
    bool Broadcast() const { return m_bBroadcast; }
    // One software trigger to every camera, broadcast as Start.
    Error Trigger();
    Error Stop();

private:
    // Refused unless the group has cameras, all of one manager (one bus).
    Error CheckCameras() const;
    // Whether every camera is of one vendor and model, so that one broadcast serves them all.
    bool OneModel() const;
    // One command register write that every camera on the bus takes in the same cycle.
    Error Broadcast(std::uint32_t offset, std::uint32_t value);
    // job for each camera in order; the first error, naming its camera, ends it.
    Error EachCamera(const std::function<Error(Camera&)>& job);

    std::vector<std::shared_ptr<Camera>> m_cameras;
    bool m_bBroadcast = false;
};

}  // namespace kestrix::session
