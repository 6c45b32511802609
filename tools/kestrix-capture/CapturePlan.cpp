// The bus plan of kestrix-capture's cameras, read from their registers.
#include "tools/kestrix-capture/CapturePlan.h"

#include <cstdio>
#include <string>

#include "session/BusPlanner.h"
#include "session/CameraManager.h"
#include "tools/kestrix-capture/ExitCodes.h"

namespace {

using namespace kestrix::session;

int Fail(int status, const std::string& message) {
    std::fprintf(stderr, "kestrix-capture: %s\n", message.c_str());
    return status;
}

}  // namespace

int RunPlan(const CaptureOptions& options) {
    Error error;
    const auto manager = CameraManager::Create(CameraManager::Threading::CallerThread, error);
    if (!manager) return Fail(kExitFailed, "the camera library could not be opened");
    manager->Call([&](C1394Dcam& cam) { cam.SetAccessUnit(options.accessUnit); });
    std::vector<CameraPick> picks = options.Group() ? options.cameras
                                                    : std::vector<CameraPick>{options.camera};
    if (options.allCameras) {
        for (const CameraInfo& info : manager->Cameras(error)) picks.push_back({info.index, {}});
        if (picks.empty()) return Fail(kExitNoCamera, "no camera on the bus (see --list)");
    }
    std::vector<std::shared_ptr<Camera>> cameras;
    std::vector<StreamConfig> configs;
    for (const CameraPick& pick : picks) {
        // Found, not claimed: a plan reads registers only, whoever records from the camera.
        auto camera = manager->Find(pick, error);
        if (!camera) return Fail(kExitNoCamera, error.Message() + " (see --list)");
        StreamConfig& config = configs.emplace_back();
        if (const Error refused = camera->FindMode(options.modeName, config.mode)) {
            return Fail(refused.GetKind() == Error::Kind::Refused ? kExitModeRefused : kExitFailed,
                        refused.Message());
        }
        config.rateIndex = options.rateIndex;
        config.speed = options.speed;
        cameras.push_back(std::move(camera));
    }
    BusPlan plan;
    if (const Error failed = BusPlanner::Plan(cameras, configs, plan))
        return Fail(kExitFailed, failed.Message());
    const std::string out = options.json ? plan.Json() + "\n" : plan.Text();
    if (std::fputs(out.c_str(), stdout) < 0 || std::fflush(stdout) != 0)
        return Fail(kExitFailed, "cannot write to standard output");
    return plan.fits ? kExitOk : Fail(kExitModeRefused, plan.refusal);
}
