// Who a camera on the bus is: its vendor and model names from its configuration ROM, its GUID
// and node number, for choosing among several cameras.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class C1394Dcam;

struct CameraIdentity {
    int camera = -1;     // index in the camera table
    std::string vendor;  // the ROM's name, else the vendor id in hex
    std::string model;   // the ROM's name, else empty
    std::uint64_t guid = 0;
    int node = -1;

    static CameraIdentity Read(C1394Dcam& cam, int camera);
    static std::vector<CameraIdentity> ReadAll(C1394Dcam& cam);
    // The GUID as 16 hex digits, as --camera takes it.
    static std::string GuidText(std::uint64_t guid);
    // "0: Vendor Model (GUID 0123456789abcdef, node 0)".
    std::string Describe() const;
};
