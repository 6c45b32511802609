// Printing the cameras and their modes for --list.
#include "tools/kestrix-capture/CameraListing.h"

#include <cstdio>
#include <string>

#include "camera/VideoModeTables.h"
#include "camera/CameraModes.h"

namespace {

template <typename... Args>
void Append(std::string& out, const char* format, Args... args) {
    char line[512];
    std::snprintf(line, sizeof line, format, args...);
    out += line;
}

}  // namespace

int CameraListing::Print(C1394Dcam& cam, std::string& out) {
    const int cameras = cam.GetDeviceCount(C1394Dcam::kCameraDevices);
    for (int camera = 0; camera < cameras; ++camera) {
        const int device = cam.GetCameraDevice(camera);
        // Its maker and model as its configuration ROM names them.
        std::string vendor, model;
        const bool named = cam.SelectCamera(camera) && cam.GetUnitNames(&vendor, &model);
        Append(out, "camera %d: %s%s%s, vendor 0x%06X, device %d, %s\n", camera,
               named ? vendor.c_str() : "?", model.empty() ? "" : " ", model.c_str(),
               unsigned(cam.GetVendorId(camera)), device,
               cam.GetDevicePath(unsigned(device)).c_str());
        for (const CameraModes::Mode& mode : CameraModes::Read(cam, camera)) {
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
    return cameras;
}
