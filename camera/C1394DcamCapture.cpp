// Starting and stopping captures, transmission control, and reading frames out of the rings.
#include <new>
#include <vector>

#include "camera/C1394Dcam.h"
#include "camera/IidcRegisters.h"
#include "camera/VideoModeTables.h"
#include "platform/Log.h"

using namespace camera::iidc;

namespace {

constexpr int kPacketModeFlag = 0x10;
constexpr int kDescriptorModeMask = 0xF;
constexpr std::uint32_t kSyncValue = 1;
constexpr int kMaxShots = 0xFFFF;
constexpr double kCyclesPerSecond = 8000;    // isochronous cycles of 125 us
constexpr double kSlowestFrameRate = 1.875;  // rate index 0; each index doubles it

// The reason a capture did not start, which StartCapture's false drops.
bool RefuseCapture(int camera, const char* why) {
    KX_LOG(Capture, Warn) << "capture on camera " << camera << " not started: " << why;
    return false;
}

}  // namespace

std::unique_ptr<CIsochTransferThread> C1394Dcam::CreateIsochThread() {
    try {
        return std::make_unique<CDcamCaptureThread>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

CDcamCaptureThread* C1394Dcam::GetCaptureThread(int camera) const {
    if (!IsCamera(camera)) return nullptr;
    return dynamic_cast<CDcamCaptureThread*>(FindIsochThread(m_Cameras[camera].nDevice));
}

bool C1394Dcam::HasCapture(int camera) const {
    return IsCamera(camera) && FindIsochThread(m_Cameras[camera].nDevice) != nullptr;
}

// ---- Frame rings for the readers ----

std::shared_ptr<FrameRing> C1394Dcam::FindRing(int device) const {
    if (device < 0 || device >= kMaxCameras) return nullptr;
    std::scoped_lock lock(m_ringLock);
    return m_Rings[std::size_t(device)];
}

void C1394Dcam::PublishRing(int device, std::shared_ptr<FrameRing> ring) {
    if (device < 0 || device >= kMaxCameras) return;
    std::scoped_lock lock(m_ringLock);
    m_Rings[std::size_t(device)] = std::move(ring);
}

// ---- Recordings, for the file writers ----

const std::shared_ptr<FrameSink>* C1394Dcam::GetRecording(int camera) const {
    if (camera < 0 || camera >= kMaxCameras) return nullptr;
    return &m_AviWriters[std::size_t(camera)];
}

std::shared_ptr<FrameSink>* C1394Dcam::GetRecording(int camera) {
    if (camera < 0 || camera >= kMaxCameras) return nullptr;
    return &m_AviWriters[std::size_t(camera)];
}

// ---- Start and stop ----

bool C1394Dcam::CaptureBufferBytes(int camera, int frameBytes, int* bufferBytes) {
    *bufferBytes = frameBytes;
    const int modeIndex = m_Cameras[camera].nMode;
    if (modeIndex < camera::kFormat7First) return true;
    const int f7mode = modeIndex - camera::kFormat7First;
    DWORD bytesPerPacket = 0;
    DWORD packets = 0;
    if (!ReadFormat7Register(camera, f7mode, kBytePerPacket, &bytesPerPacket, false)) return false;
    if (High16(bytesPerPacket) != 0 &&
        ReadFormat7Register(camera, f7mode, kPacketPerFrameInq, &packets, true)) {
        const std::uint64_t padded = std::uint64_t{High16(bytesPerPacket)} * packets;
        // A figure the frame does not fit in, or one beyond any buffer, cannot be right.
        if (padded >= std::uint64_t(frameBytes) && padded <= 0x7FFFFFFF) *bufferBytes = int(padded);
    }
    return true;
}

void C1394Dcam::PrepareReceiveMemory(int camera) {
    const int frameBytes = GetFrameBytes(camera);
    int bufferBytes = 0;
    if (frameBytes <= 0 || !CaptureBufferBytes(camera, frameBytes, &bufferBytes)) return;
    // One buffer, as StartIsochTransfer gives a capture.
    const std::uint64_t bytes =
        CDcamCaptureThread::SharedBufferBytes(1, std::uint32_t(bufferBytes));
    auto& kept = m_KeptReceiveMemory[m_Cameras[camera].nDevice];
    if (kept && kept->Bytes().size() == bytes) return;
    // Let go first, so that the old size and the new are never held together.
    kept.reset();
    kept = CDcamCaptureThread::PrepareSharedBuffers(bytes);
    if (!kept) m_KeptReceiveMemory.erase(m_Cameras[camera].nDevice);
}

bool C1394Dcam::StartCapture(int camera, int speed, int flags, int frames) {
    if (speed < 0 || speed > 2) return RefuseCapture(camera, "speed not 0..2");
    if (frames < 2) return RefuseCapture(camera, "a ring needs at least 2 slots");
    if (!IsCamera(camera)) return RefuseCapture(camera, "no such camera");
    const CameraEntry& entry = m_Cameras[camera];
    const int device = entry.nDevice;
    if (entry.nMode < 0 || entry.nRate < 0) return RefuseCapture(camera, "no video mode set");
    // A second capture on the same channel could never get it; the running one stays untouched.
    if (HasCapture(camera)) return RefuseCapture(camera, "a capture already runs");
    if (!SetIsoChannel(camera, speed, device)) {
        return RefuseCapture(camera, "the channel and speed could not be set");
    }
    const int bytesPerPacket = GetBytesPerPacket(camera);
    const int frameBytes = GetFrameBytes(camera);
    if (bytesPerPacket <= 0 || frameBytes <= 0) {
        return RefuseCapture(camera, "the camera reports no frame or packet size");
    }
    // A frame that fits one packet can only be received packet by packet.
    if (bytesPerPacket >= frameBytes) flags |= kPacketModeFlag;
    int bufferBytes = 0;
    if (!CaptureBufferBytes(camera, frameBytes, &bufferBytes)) {
        return RefuseCapture(camera, "the Format 7 packet size cannot be read");
    }

    m_bPacketMode = (flags & kPacketModeFlag) != 0;
    // StartIsochTransfer opens the thread on the selected device, which the reads above left
    // at this camera.
    if (!StartIsochTransfer(device, false, true, 1 << speed, flags & kDescriptorModeMask,
                            bytesPerPacket, bufferBytes, true, kSyncValue)) {
        return RefuseCapture(camera, "no isochronous transfer (bandwidth, channel or resources)");
    }
    auto* thread = dynamic_cast<CDcamCaptureThread*>(FindIsochThread(device));
    if (thread == nullptr || !ArmCapture(*thread, camera, frameBytes, frames)) {
        // A capture that cannot run is taken down, so the camera can be set up again.
        StopAndRemove(device, true);
        return RefuseCapture(camera, "the ring or the receiver could not be set up");
    }
    PublishRing(device, thread->Ring());
    KX_LOG(Capture, Info) << "capture started on camera " << camera << ": mode "
                          << entry.nMode.load() << ", rate or coding " << entry.nRate.load() << ", "
                          << frameBytes << "-byte frames in " << bytesPerPacket << "-byte packets, "
                          << frames << " slots, S" << (100 << speed)
                          << (m_bPacketMode ? ", packet mode" : "");
    return true;
}

bool C1394Dcam::ArmCapture(CDcamCaptureThread& thread, int camera, int frameBytes, int frames) {
    thread.SetOwner(this);
    if (!thread.AllocRing(static_cast<std::uint32_t>(frameBytes), frames)) {
        KX_LOG(Capture, Warn) << "no memory for a ring of " << frames << " slots of " << frameBytes
                              << " bytes";
        return false;
    }
    thread.SetDevicePath(GetDevicePath(static_cast<unsigned>(m_Cameras[camera].nDevice.load())));
    thread.m_pData = nullptr;
    thread.m_nDataBytes = static_cast<std::uint32_t>(frameBytes);
    thread.m_bMarker = true;
    const auto kept = m_KeptReceiveMemory.find(m_Cameras[camera].nDevice);
    if (kept != m_KeptReceiveMemory.end()) {
        thread.OfferSharedBuffers(std::move(kept->second));
        m_KeptReceiveMemory.erase(kept);
    }
    thread.m_nState = CIsochTransferThread::kStateArmed;
    for (const auto& other : m_TransferList) {
        if (auto* capture = dynamic_cast<CDcamCaptureThread*>(other.get())) {
            capture->Ring()->SetSignalPerFrame(true);
        }
    }
    thread.SignalStart();
    // The thread leaves state 1 for 6 once it listens, or for 3 when it cannot.
    return thread.m_nState.WaitWhile([](IsochState state) {
        return state == CIsochTransferThread::kStateArmed;
    }) == CIsochTransferThread::kStateRunning;
}

void C1394Dcam::StopAndRemove(int device, bool orderly) {
    PublishRing(device, nullptr);
    CIsochTransferThread* thread = FindIsochThread(device);
    if (thread != nullptr) thread->m_bMarker = false;
    StopIsochTransfer(device, orderly);
    if (auto* capture = dynamic_cast<CDcamCaptureThread*>(thread)) {
        // Ended first, so that it no longer touches what it hands over.
        capture->QuitAndJoin();
        if (auto memory = capture->TakeKeptSharedBuffers()) {
            m_KeptReceiveMemory[device] = std::move(memory);
        }
    }
    RemoveIsochTransfer(device);
}

bool C1394Dcam::StopCapture(int camera) {
    StopTransmission(camera);
    if (!HasCapture(camera)) return false;
    StopAndRemove(m_Cameras[camera].nDevice, true);
    return true;
}

bool C1394Dcam::AbandonCapture(int camera) {
    if (!HasCapture(camera)) return false;
    StopAndRemove(m_Cameras[camera].nDevice, false);
    return true;
}

void C1394Dcam::StopAllCaptures() {
    // With no camera left in the table the devices are gone: handles are closed, not stopped.
    const bool orderly = m_nCameraCount > 0;
    std::vector<int> channels;
    for (const auto& thread : m_TransferList) channels.push_back(thread->m_nChannel);
    for (const int channel : channels) StopAndRemove(channel, orderly);
    m_TransferList.clear();
    // The devices may be others now.
    m_KeptReceiveMemory.clear();
    std::scoped_lock lock(m_ringLock);
    for (auto& ring : m_Rings) ring.reset();
}

// ---- Transmission ----

bool C1394Dcam::SetTransmission(int camera, bool continuous, int shotMode, int shots) {
    if (!continuous && shotMode != 0) {
        const DWORD value = shotMode == 1 ? kBit31 : kMultiShot | (DWORD(shots) & 0xFFFF);
        return WriteCommand(camera, kShot, value);
    }
    return WriteCommand(camera, kIsoEnable, continuous ? kBit31 : 0);
}

bool C1394Dcam::StartTransmission(int camera, int shots) {
    if (!PrepareTransmission(camera, shots)) return false;
    const int shotMode = shots == 0 ? 0 : shots == 1 ? 1 : 2;
    return SetTransmission(camera, shots == 0, shotMode, shots);
}

bool C1394Dcam::PrepareTransmission(int camera, int shots) {
    // A count beyond 16 bits would be cut to a different one.
    if (shots < 0 || shots > kMaxShots) return false;
    // A waiter must not take a frame signalled before this transmission for one of it.
    if (const auto ring = FindRing(GetCameraDevice(camera))) ring->ResetFrameEvent();
    if (IsCamera(camera)) m_Cameras[camera].bContinuous = shots == 0;
    // Only a free-running camera sends a frame every period: shots and a trigger pace theirs.
    bool freeRunning = shots == 0;
    DWORD trigger = 0;
    if (freeRunning && GetCaptureThread(camera) != nullptr) {
        freeRunning = ReadFeature(camera, kTriggerFeature, &trigger) && (trigger & kTriggerOn) == 0;
    }
    CountLossesByTime(camera, freeRunning);
    return true;
}

bool C1394Dcam::StopTransmission(int camera) {
    if (IsCamera(camera)) m_Cameras[camera].bContinuous = false;
    CountLossesByTime(camera, false);
    return SetTransmission(camera, false, 0, 0);
}

void C1394Dcam::CountLossesByTime(int camera, bool freeRunning) {
    CDcamCaptureThread* thread = GetCaptureThread(camera);
    if (thread == nullptr) return;
    const bool counting = freeRunning && m_Cameras[camera].bContinuous;
    thread->SetFramePeriod(counting ? GetFramePeriodCycles(camera) : 0);
}

double C1394Dcam::GetFramePeriodCycles(int camera) {
    const int mode = GetModeIndex(camera);
    if (mode < 0) return 0;
    if (mode < camera::kFormat7First) {
        const int rate = GetRateIndex(camera);
        if (rate < 0 || rate >= camera::kRateCount) return 0;
        return kCyclesPerSecond / (kSlowestFrameRate * double(1 << rate));
    }
    // A Format 7 frame takes one cycle per packet.
    const int packet = GetBytesPerPacket(camera);
    const int frame = GetFrameBytes(camera);
    if (packet <= 0 || frame <= 0) return 0;
    return double((frame + packet - 1) / packet);
}

FrameRing::Stats C1394Dcam::GetCaptureStats(int camera) const {
    const std::shared_ptr<FrameRing> ring = FindRing(GetCameraDevice(camera));
    return ring ? ring->GetStats() : FrameRing::Stats{};
}

// ---- Frames ----

int C1394Dcam::WaitForFrameOnDevice(int device, DWORD timeoutMs) {
    const std::shared_ptr<FrameRing> ring = FindRing(device);
    if (!ring) return 0;
    return ring->WaitForFrame(timeoutMs);
}

int C1394Dcam::WaitForFrame(int camera, DWORD timeoutMs) {
    return WaitForFrameOnDevice(GetCameraDevice(camera), timeoutMs);
}

int C1394Dcam::GetFrameFromDevice(int device, void* dst, int slot) {
    const std::shared_ptr<FrameRing> ring = FindRing(device);
    int copied = -1;
    // The caller vouches for room for one slot.
    if (!ring || !ring->Copy(dst, SIZE_MAX, slot, &copied)) return -1;
    return copied;
}

int C1394Dcam::GetFrame(int camera, void* dst, int slot) {
    return GetFrameFromDevice(GetCameraDevice(camera), dst, slot);
}
