// A stand-in for the bus planner until its own implementation lands: every camera fits with
// the configuration it was given. Dropped at the merge.
#include "session/BusPlanner.h"

namespace kestrix::session {

Error BusPlanner::Plan(const std::vector<std::shared_ptr<Camera>>& cameras,
                       const std::vector<StreamConfig>& configs, BusPlan& plan) {
    plan = BusPlan{};
    plan.fits = true;
    for (std::size_t i = 0; i < cameras.size() && i < configs.size(); ++i) {
        BusPlan::Share share;
        share.camera = int(i);
        share.guid = cameras[i]->Info().guid;
        share.config = configs[i];
        plan.cameras.push_back(share);
    }
    return {};
}

}  // namespace kestrix::session
