// Reading a camera's names from the directories and text leaves of its configuration ROM.
#include "camera/CameraIdentity.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "camera/C1394Dcam.h"

namespace {

using DWORD = C1394Dcam::DWORD;

// The ROM starts at 0xFFFF F000 0400; command offsets count from the camera's command base,
// wrapping.
constexpr DWORD kRomStart = 0x400;
constexpr DWORD kUnitDirKey = 0xD1;
constexpr DWORD kDependentDirKey = 0xD4;
constexpr DWORD kVendorNameKey = 0x81;
constexpr DWORD kModelNameKey = 0x82;
constexpr DWORD kLeafTextStart = 3;  // header, type and language quadlets come first
constexpr DWORD kMaxLeafQuadlets = 64;

class RomReader {
public:
    RomReader(C1394Dcam& cam, int camera) : m_cam(cam), m_camera(camera) {}

    std::optional<DWORD> Quadlet(DWORD index) {
        DWORD value = 0;
        const DWORD offset = kRomStart + 4 * index - m_cam.GetCommandBase(m_camera);
        if (!m_cam.ReadRegister(m_camera, offset, &value)) return std::nullopt;
        return value;
    }
    // Index of the block the directory at `dir` points to with key, or nothing.
    std::optional<DWORD> Follow(DWORD dir, DWORD key) {
        const auto header = Quadlet(dir);
        if (!header) return std::nullopt;
        const DWORD entries = *header >> 16;
        for (DWORD i = 1; i <= entries && i < kMaxLeafQuadlets; ++i) {
            const auto entry = Quadlet(dir + i);
            if (!entry) return std::nullopt;
            if (*entry >> 24 == key) return dir + i + (*entry & 0xFFFFFF);
        }
        return std::nullopt;
    }
    std::string Text(DWORD leaf) {
        const auto header = Quadlet(leaf);
        std::string text;
        if (!header) return text;
        const DWORD length = std::min(*header >> 16, kMaxLeafQuadlets);
        for (DWORD i = kLeafTextStart; i <= length; ++i) {
            const auto q = Quadlet(leaf + i);
            if (!q) break;
            for (int shift = 24; shift >= 0; shift -= 8) {
                const char c = char((*q >> shift) & 0xFF);
                if (c == '\0') return text;
                text += c;
            }
        }
        return text;
    }

private:
    C1394Dcam& m_cam;
    int m_camera;
};

}  // namespace

CameraIdentity CameraIdentity::Read(C1394Dcam& cam, int camera) {
    CameraIdentity id;
    id.camera = camera;
    id.guid = cam.GetCameraGuid(camera);
    if (cam.SelectCamera(camera)) {
        const int node = cam.GetNodeNumber(false);
        if ((node & 0xFFFF) != 0xFFFF) id.node = node;
    }
    RomReader rom(cam, camera);
    // Root directory right behind the bus information block, whose length the first byte says.
    const auto first = rom.Quadlet(0);
    std::optional<DWORD> dependent;
    if (first) {
        const DWORD root = 1 + (*first >> 24);
        if (const auto unit = rom.Follow(root, kUnitDirKey))
            dependent = rom.Follow(*unit, kDependentDirKey);
    }
    if (dependent) {
        if (const auto leaf = rom.Follow(*dependent, kVendorNameKey)) id.vendor = rom.Text(*leaf);
        if (const auto leaf = rom.Follow(*dependent, kModelNameKey)) id.model = rom.Text(*leaf);
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
