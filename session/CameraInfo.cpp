// A camera's GUID as text.
#include "session/CameraInfo.h"

#include <cstdio>

#include "camera/C1394Dcam.h"

namespace kestrix::session {

CameraInfo CameraInfo::Read(C1394Dcam& cam, int index) {
    CameraInfo info;
    info.index = index;
    info.device = cam.GetCameraDevice(index);
    info.vendorId = cam.GetVendorId(index);
    info.path = cam.GetDevicePath(unsigned(info.device));
    info.guid = cam.GetCameraGuid(index);
    if (cam.SelectCamera(index)) {
        const int node = cam.GetNodeNumber(false);
        if ((node & 0xFFFF) != 0xFFFF) info.node = node;
        // The names of its configuration ROM, as the bus layer reads them.
        cam.GetUnitNames(&info.vendor, &info.model);
    }
    return info;
}

std::vector<CameraInfo> CameraInfo::ReadAll(C1394Dcam& cam) {
    std::vector<CameraInfo> all;
    const int cameras = cam.GetDeviceCount(C1394Dcam::kCameraDevices);
    for (int index = 0; index < cameras; ++index) all.push_back(Read(cam, index));
    return all;
}

std::string CameraInfo::GuidText(std::uint64_t guid) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(guid));
    return text;
}

std::string CameraInfo::GuidText() const { return guid == 0 ? std::string() : GuidText(guid); }

std::string CameraInfo::Describe() const {
    std::string name = vendor;
    if (name.empty()) {
        char hex[24];
        std::snprintf(hex, sizeof hex, "vendor 0x%06X", unsigned(vendorId));
        name = hex;
    }
    std::string text = std::to_string(index) + ": " + name;
    if (!model.empty()) text += " " + model;
    text += " (GUID " + GuidText(guid) + ", node " + (node >= 0 ? std::to_string(node) : "?") + ")";
    return text;
}

}  // namespace kestrix::session
