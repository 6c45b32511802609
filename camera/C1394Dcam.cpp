// The camera object's life, its camera table, and its reaction to bus events.
#include "camera/C1394Dcam.h"

#include "platform/Log.h"
#include "platform/SystemInfo.h"

C1394Dcam::C1394Dcam() = default;

C1394Dcam::~C1394Dcam() {
    // While this is still a camera object: its captures must stop before the window goes.
    if (IsOpen()) Close();
}

bool C1394Dcam::Close() {
    StopAllCaptures();
    return CFirewireComm::Close();
}

// ---- Camera table ----

int C1394Dcam::GetDeviceCount(int type) const {
    return type == kCameraDevices ? m_nCameraCount.load() : 0;
}

bool C1394Dcam::IsCamera(int camera) const {
    // Compared unsigned, so a negative index fails like any index past the count.
    return static_cast<unsigned>(camera) < static_cast<unsigned>(m_nCameraCount.load());
}

bool C1394Dcam::SelectCamera(int camera) {
    if (!IsCamera(camera)) return false;
    return SelectDevice(static_cast<unsigned>(m_Cameras[camera].nDevice.load()));
}

int C1394Dcam::GetCameraDevice(int camera) const {
    return IsCamera(camera) ? m_Cameras[camera].nDevice.load() : -1;
}

C1394Dcam::DWORD C1394Dcam::GetCommandBase(int camera) const {
    return IsCamera(camera) ? m_Cameras[camera].dwCommandBase.load() : 0xFFFFFFFF;
}

C1394Dcam::DWORD C1394Dcam::GetVendorId(int camera) const {
    return IsCamera(camera) ? m_Cameras[camera].dwVendorId.load() : 0xFFFFFFFF;
}

std::uint64_t C1394Dcam::GetCameraGuid(int camera) {
    std::uint64_t guid = 0;
    if (!SelectCamera(camera) || !GetUnitGuid(&guid)) return 0;
    return guid;
}

int C1394Dcam::GetModeIndex(int camera) const {
    return IsCamera(camera) ? m_Cameras[camera].nMode.load() : -1;
}

int C1394Dcam::GetRateIndex(int camera) const {
    return IsCamera(camera) ? m_Cameras[camera].nRate.load() : -1;
}

void C1394Dcam::ClearCameraTable() {
    m_nCameraCount = 0;
    for (CameraEntry& entry : m_Cameras) {
        entry.nDevice = -1;
        entry.dwVendorId = 0xFFFFFFFF;
        entry.dwCommandBase = 0xFFFFFFFF;
        entry.nMode = -1;
        entry.nRate = -1;
        entry.bTriggerOn = false;
    }
    // The cached block belonged to a camera of the old table.
    m_bFormat7BaseValid = false;
}

// Cameras are listed in ascending device order; other units are skipped, and so is a camera
// whose register base cannot be read, since no register of it could be reached.
void C1394Dcam::RebuildCameraTable() {
    ClearCameraTable();
    int count = 0;
    for (unsigned device = 0; device < GetDevicePathCount() && count < kMaxCameras; ++device) {
        int kind = 0;
        DWORD commandBase = 0;
        DWORD vendorId = 0;
        if (!SelectDevice(device) || !GetUnitVersion(&kind) || kind != 2) continue;
        if (!GetUnitInfo(&commandBase, &vendorId)) {
            KX_LOG(Camera, Warn) << "camera on " << GetDevicePath(device)
                                 << " skipped: its unit directory names no register base";
            continue;
        }
        KX_LOG(Camera, Info) << "camera " << count << " on " << GetDevicePath(device) << ": vendor "
                             << platform::Hex(vendorId) << ", registers at "
                             << platform::Hex(0xFFFFF0000000 + commandBase);
        CameraEntry& entry = m_Cameras[count++];
        entry.nDevice = static_cast<int>(device);
        entry.dwCommandBase = commandBase;
        entry.dwVendorId = vendorId;
    }
    m_nCameraCount = count;
}

// ---- Bus events ----

std::int64_t C1394Dcam::OnDeviceListChanged(std::uint64_t wParam, std::int64_t lParam) {
    CFirewireComm::OnDeviceListChanged(wParam, lParam);
    // The old table still names the cameras, so the stops are orderly where there were any.
    StopAllCaptures();
    RebuildCameraTable();
    return 0;
}

std::int64_t C1394Dcam::OnBusReset(std::uint64_t wParam, std::int64_t lParam) {
    // Another node may now be cycle master: the stamps before and after are not comparable.
    for (int camera = 0; camera < kCameraDevices; ++camera) {
        if (CDcamCaptureThread* thread = GetCaptureThread(camera)) thread->NoteBusReset();
    }
    return CFirewireComm::OnBusReset(wParam, lParam);
}

// ---- Buffer count ----

void C1394Dcam::SetMemoryProbe(MemoryProbe probe) { m_MemoryProbe = std::move(probe); }

namespace {

bool IsShare(int percent, int divisor) { return divisor != 0 && percent >= 1 && percent <= 99; }

}  // namespace

int C1394Dcam::BufferCount(std::uint32_t frameBytes, int percent, int divisor) const {
    constexpr std::uint32_t kRingLimit = 629145600;  // 600 MiB
    if (!IsShare(percent, divisor)) return 0;
    const std::uint32_t available =
        m_MemoryProbe ? m_MemoryProbe() : platform::SystemInfo::AvailablePhysicalMemory();
    // The share is taken with a single-precision 0.01 in extended precision, so 50 percent of
    // 512 MiB is 268435450 bytes, not 268435456; the ring sizes people are used to depend on it.
    constexpr float kPercent = 0.01f;
    const long double share = static_cast<long double>(available) * percent * kPercent;
    std::uint32_t bytes = static_cast<std::uint32_t>(share);
    if (bytes > kRingLimit) bytes = kRingLimit;
    if (frameBytes == 0) return 0;
    return static_cast<int>(bytes / static_cast<std::uint32_t>(divisor) / frameBytes);
}

int C1394Dcam::CalcBufferCount(int modeIndex, int percent, int divisor) {
    return BufferCount(static_cast<std::uint32_t>(GetModeFrameBytes(modeIndex)), percent, divisor);
}

int C1394Dcam::CalcBufferCountForCamera(int camera, int percent, int divisor) {
    // The camera is asked only when the arguments hold.
    if (!IsShare(percent, divisor)) return 0;
    return BufferCount(static_cast<std::uint32_t>(GetFrameBytes(camera)), percent, divisor);
}
