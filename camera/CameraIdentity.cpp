// Who each camera on the bus is, for choosing among several.
#include "camera/CameraIdentity.h"

#include <cstdio>

#include "camera/C1394Dcam.h"

CameraIdentity CameraIdentity::Read(C1394Dcam& cam, int camera) {
    CameraIdentity id;
    id.camera = camera;
    id.guid = cam.GetCameraGuid(camera);
    if (cam.SelectCamera(camera)) {
        const int node = cam.GetNodeNumber(false);
        if ((node & 0xFFFF) != 0xFFFF) id.node = node;
        // The names of its configuration ROM, as the bus layer reads them.
        cam.GetUnitNames(&id.vendor, &id.model);
    }
    if (id.vendor.empty()) {
        char hex[24];
        std::snprintf(hex, sizeof hex, "vendor 0x%06X", unsigned(cam.GetVendorId(camera)));
        id.vendor = hex;
    }
    return id;
}

std::vector<CameraIdentity> CameraIdentity::ReadAll(C1394Dcam& cam) {
    std::vector<CameraIdentity> all;
    const int cameras = cam.GetDeviceCount(C1394Dcam::kCameraDevices);
    for (int camera = 0; camera < cameras; ++camera) all.push_back(Read(cam, camera));
    return all;
}

std::string CameraIdentity::GuidText(std::uint64_t guid) {
    char text[20];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(guid));
    return text;
}

std::string CameraIdentity::Describe() const {
    std::string text = std::to_string(camera) + ": " + vendor;
    if (!model.empty()) text += " " + model;
    text += " (GUID " + GuidText(guid) + ", node " + (node >= 0 ? std::to_string(node) : "?") + ")";
    return text;
}
