// One camera on the bus as every front end lists it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class C1394Dcam;

namespace kestrix::session {

struct CameraInfo {
    int index = -1;          // in the camera table now; it may change when the devices change
    std::uint64_t guid = 0;  // from the configuration ROM; 0 when it could not be read
    std::uint32_t vendorId = 0;
    std::string vendor;  // the ROM's vendor and model leaves; empty when the ROM has none
    std::string model;
    int node = -1;     // 1394 node number now
    int device = -1;   // the bus layer's device number
    std::string path;  // the unit's device path, which names the camera across table changes

    // The camera of that index as the camera object reads it now (owner thread).
    static CameraInfo Read(C1394Dcam& cam, int index);
    static std::vector<CameraInfo> ReadAll(C1394Dcam& cam);
    // 16 lower-case hex digits, or empty without a GUID.
    std::string GuidText() const;
    static std::string GuidText(std::uint64_t guid);
    // "0: Vendor Model (GUID 0123456789abcdef, node 0)"; the vendor id stands in for a missing
    // vendor name.
    std::string Describe() const;
};

}  // namespace kestrix::session
