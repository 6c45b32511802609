// Printing the cameras and their modes for --list.
#include "tools/kestrix-capture/CameraListing.h"

#include <cstdio>
#include <string>

#include "camera/CameraModes.h"
#include "camera/VideoModeTables.h"

namespace {

template <typename... Args>
void Append(std::string& out, const char* format, Args... args) {
    char line[512];
    std::snprintf(line, sizeof line, format, args...);
    out += line;
}

}  // namespace

int CameraListing::Print(kestrix::session::CameraManager& manager, std::string& out) {
    kestrix::session::Error unread;  // a camera whose ROM cannot be read is listed as "?"
    const auto cameras = manager.Cameras(unread);
    for (const kestrix::session::CameraInfo& info : cameras) {
        // Its maker and model as its configuration ROM names them.
        Append(out, "camera %d: %s%s%s, vendor 0x%06X, device %d, %s\n", info.index,
               info.vendor.empty() ? "?" : info.vendor.c_str(), info.model.empty() ? "" : " ",
               info.model.c_str(), unsigned(info.vendorId), info.device, info.path.c_str());
        const auto modes =
            manager.Call([&](C1394Dcam& cam) { return CameraModes::Read(cam, info.index); });
        for (const CameraModes::Mode& mode : modes) {
            if (mode.Format7()) {
                // A raw mode names its colour filter, which converted output depends on.
                const std::string filter =
                    mode.colorCoding != FrameConverter::Raw8 ? std::string()
                    : mode.bayer == BayerPattern::None
                        ? "; Bayer filter unknown (shown as grey)"
                        : std::string("; Bayer filter ") + BayerPatternName(mode.bayer);
                Append(out, "  %s (mode %d, Format 7): the rate set by its packet size%s\n",
                       mode.name.c_str(), mode.modeIndex, filter.c_str());
                continue;
            }
            std::string rates;
            for (int rate = 0; rate < camera::kRateCount; ++rate) {
                if (mode.OffersRate(rate)) rates += std::string(" ") + CameraModes::RateName(rate);
            }
            Append(out, "  %s (mode %d):%s fps\n", mode.name.c_str(), mode.modeIndex,
                   rates.c_str());
        }
    }
    return int(cameras.size());
}
