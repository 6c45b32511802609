// What every front end's recording starts from, read from the camera.
#include "record/RecordingSetup.h"

#include "files/CameraFiles.h"

namespace kestrix::record {

RecordingSetup RecordingSetup::Of(session::Camera& camera, const std::string& path) {
    RecordingSetup setup;
    setup.path = path;
    std::uint32_t period = 0;
    camera.Call([&](C1394Dcam& cam, int index) { period = files::GetFramePeriod(cam, index); });
    const session::StreamConfig& config = camera.Config();
    const CameraModes::Mode& mode = config.mode;
    setup.format = FrameFormat::Of(mode, period != 0 ? 1e6 / period : 0);
    setup.info.camera = camera.Info();
    setup.info.mode = mode.name;
    setup.info.fps = setup.format.fps;
    if (mode.Format7())
        setup.info.region = config.region.value_or(Format7Region{0, 0, mode.width, mode.height});
    camera.Features(setup.info.features);
    return setup;
}

}  // namespace kestrix::record
