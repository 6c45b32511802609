// Bandwidth arithmetic of isochronous streams.
#include "camera/BusBandwidth.h"

#include <algorithm>
#include <cstdio>

#include "camera/C1394Dcam.h"
#include "camera/IidcRegisters.h"

namespace {

constexpr unsigned kPacketOverheadUnits = 256;
constexpr unsigned kHeaderAndCrcBytes = 12;
constexpr int kSpeeds = 3;

std::string SpeedName(int speed) { return "S" + std::to_string(100 << speed); }

}  // namespace

unsigned BusBandwidth::MaxPacketBytes(int speed) {
    return speed >= 0 && speed < kSpeeds ? 1024u << speed : 0;
}

unsigned BusBandwidth::Units(unsigned bytesPerPacket, int speed) {
    if (MaxPacketBytes(speed) == 0) return 0;
    // A quadlet takes 16 units at S100, 8 at S200, 4 at S400.
    return kPacketOverheadUnits + (bytesPerPacket + kHeaderAndCrcBytes) * (4u >> speed);
}

double BusBandwidth::Percent(unsigned units) { return 100.0 * units / kUnitsPerCycle; }

unsigned BusBandwidth::UnitsInUse(C1394Dcam& cam, int except) {
    return InUse(cam, std::span<const int>(&except, 1)).units;
}

BusBandwidth::Usage BusBandwidth::InUse(C1394Dcam& cam, std::span<const int> except) {
    Usage used;
    const int cameras = cam.GetDeviceCount(C1394Dcam::kCameraDevices);
    for (int camera = 0; camera < cameras; ++camera) {
        C1394Dcam::DWORD enabled = 0, channel = 0;
        if (std::find(except.begin(), except.end(), camera) != except.end() ||
            !cam.ReadRegister(camera, camera::iidc::kIsoEnable, &enabled) ||
            !(enabled & camera::iidc::kBit31) ||
            !cam.ReadRegister(camera, camera::iidc::kIsoChannel, &channel)) {
            continue;
        }
        const int bytes = cam.GetBytesPerPacket(camera);
        if (bytes <= 0) continue;
        used.units += Units(unsigned(bytes), int((channel >> 24) & 3));
        ++used.streams;
    }
    return used;
}

std::string BusBandwidth::Refusal(unsigned bytesPerPacket, int speed, unsigned unitsLeft) {
    const unsigned carried = MaxPacketBytes(speed);
    if (carried == 0) return "no bus speed is chosen";
    if (bytesPerPacket > carried) {
        return "packets of " + std::to_string(bytesPerPacket) + " bytes are larger than the " +
               std::to_string(carried) + " bytes " + SpeedName(speed) + " carries";
    }
    const unsigned units = Units(bytesPerPacket, speed);
    if (units <= unitsLeft) return {};
    char text[160];
    std::snprintf(text, sizeof text,
                  "the stream needs %u bandwidth units (%.1f %%) at %s, the bus has %u left "
                  "(%.1f %%)",
                  units, Percent(units), SpeedName(speed).c_str(), unitsLeft, Percent(unitsLeft));
    return text;
}
