// Plans several cameras on one bus: the isochronous bandwidth each needs at its speed against
// what the bus has left, the channels, and the receive contexts of the host controller. For
// Format 7 cameras without a packet size it shares what is left between them, largest first.
//
// Threading: Plan reads the cameras' registers and the bus, so it runs as Camera::Call does;
// Compute is plain arithmetic.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "session/BusPlan.h"
#include "session/Camera.h"
#include "session/Error.h"
#include "session/StreamConfig.h"

namespace kestrix::session {

class BusPlanner {
public:
    // What one camera is asked to run, as the planner sees it without the bus.
    struct Demand {
        int camera = -1;
        std::uint64_t guid = 0;
        StreamConfig config;
        // From the camera's registers: fixed modes the packet size of the rate; Format 7 the
        // packet limits (unit and maximum) for the region.
        int packetBytes = 0;
        int packetUnit = 0;
        int packetMax = 0;
        std::uint32_t frameBytes = 0;
    };
    struct Resources {
        std::uint32_t unitsFree = 4915;
        int channelsFree = 64;
        int receiveContexts = 4;
    };

    // The plan for these cameras with these configurations, from their registers and the bus
    // as it stands (what the cameras not in the list hold is taken as held).
    static Error Plan(const std::vector<std::shared_ptr<Camera>>& cameras,
                      const std::vector<StreamConfig>& configs, BusPlan& plan);
    static BusPlan Compute(const std::vector<Demand>& demands, const Resources& resources);

    // Plan's two readings, on the owner thread: what camera `index` asks for with config, and
    // what the bus has left beside the cameras in `planned` (the first of which is asked for
    // the host controller's receive contexts; 4 when its driver does not say).
    static Error ReadDemand(C1394Dcam& cam, int index, const StreamConfig& config, Demand& demand);
    static Resources ReadResources(C1394Dcam& cam, std::span<const int> planned);
};

}  // namespace kestrix::session
