// Register access: command, Format 7, vendor and feature registers, as asynchronous requests of
// at most the access unit, in bus byte order on the wire.
#include <array>

#include "camera/AsyncSplit.h"
#include "camera/C1394Dcam.h"
#include "camera/IidcRegisters.h"
#include "platform/ByteOrder.h"
#include "platform/Log.h"

using namespace camera::iidc;

namespace {

// Register blocks are small; a larger transfer is refused rather than allocated.
constexpr std::size_t kMaxBlockQuadlets = 256;

// The address a bool result drops; the bus layer's line before it has the driver's status.
bool LogRegisterFailure(const char* what, std::uint32_t offsetLow, std::size_t quadlets) {
    KX_LOG(Camera, Debug) << "register " << what << " of " << quadlets << " quadlet(s) at "
                          << platform::Hex(std::uint64_t{kOffsetHigh} << 32 | offsetLow)
                          << " failed";
    return false;
}

}  // namespace

bool C1394Dcam::SetAccessUnit(int setting) {
    if (setting < 0 || setting > 5) return false;
    m_nAccessUnit = 4u << setting;
    return true;
}

unsigned C1394Dcam::TransferPiece(bool write, std::span<std::uint8_t> piece, DWORD offsetLow) {
    // Sent to the unit, not to a node number: the driver addresses it at its number of the
    // moment, so no bus reset between a query and the access can make it reach another node.
    const auto bytes = static_cast<unsigned>(piece.size());
    if (write) return UnitWrite(piece.data(), bytes, kOffsetHigh, offsetLow) ? bytes : 0;
    return UnitRead(piece.data(), bytes, kOffsetHigh, offsetLow);
}

bool C1394Dcam::ReadQuadlets(DWORD offsetLow, std::span<DWORD> values) {
    if (values.size() > kMaxBlockQuadlets) return false;
    std::array<std::uint8_t, kMaxBlockQuadlets * 4> buffer;
    const std::span<std::uint8_t> bytes(buffer.data(), values.size() * 4);
    const auto piece = [this](std::span<std::uint8_t> p, std::uint32_t at) {
        return TransferPiece(false, p, at);
    };
    if (camera::SplitTransfer(bytes, offsetLow, m_nAccessUnit, piece) != bytes.size()) {
        return LogRegisterFailure("read", offsetLow, values.size());
    }
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = platform::LoadBE32(&bytes[4 * i]);
    return true;
}

bool C1394Dcam::WriteQuadlets(DWORD offsetLow, std::span<const DWORD> values) {
    if (values.size() > kMaxBlockQuadlets) return false;
    std::array<std::uint8_t, kMaxBlockQuadlets * 4> buffer;
    const std::span<std::uint8_t> bytes(buffer.data(), values.size() * 4);
    for (std::size_t i = 0; i < values.size(); ++i) platform::StoreBE32(&bytes[4 * i], values[i]);
    const auto piece = [this](std::span<std::uint8_t> p, std::uint32_t at) {
        return TransferPiece(true, p, at);
    };
    if (camera::SplitTransfer(bytes, offsetLow, m_nAccessUnit, piece) != bytes.size()) {
        return LogRegisterFailure("write", offsetLow, values.size());
    }
    return true;
}

// ---- Command registers ----

bool C1394Dcam::ReadRegisterBlock(int camera, DWORD offset, std::span<DWORD> values) {
    if (!SelectCamera(camera)) return false;
    return ReadQuadlets(kRegisterSpace + m_Cameras[camera].dwCommandBase + offset, values);
}

bool C1394Dcam::WriteRegisterBlock(int camera, DWORD offset, std::span<const DWORD> values) {
    if (!SelectCamera(camera)) return false;
    return WriteQuadlets(kRegisterSpace + m_Cameras[camera].dwCommandBase + offset, values);
}

bool C1394Dcam::ReadCommand(int camera, DWORD offset, DWORD* value) {
    return ReadRegisterBlock(camera, offset, std::span<DWORD>(value, 1));
}

bool C1394Dcam::WriteCommand(int camera, DWORD offset, DWORD value) {
    return WriteRegisterBlock(camera, offset, std::span<const DWORD>(&value, 1));
}

bool C1394Dcam::ReadRegister(int camera, DWORD offset, DWORD* value) {
    return value != nullptr && ReadCommand(camera, offset, value);
}

bool C1394Dcam::ReadCycleTimer(int camera, platform::CycleTimerReading* reading) {
    return reading != nullptr && SelectCamera(camera) && CFirewireComm::ReadCycleTimer(reading);
}

bool C1394Dcam::GetReceiveContexts(int camera, int* contexts) {
    return contexts != nullptr && SelectCamera(camera) &&
           CFirewireComm::GetReceiveContexts(contexts);
}

bool C1394Dcam::WriteRegister(int camera, DWORD offset, const DWORD* value) {
    return value != nullptr && WriteCommand(camera, offset, *value);
}

bool C1394Dcam::BroadcastCommand(int camera, DWORD offset, DWORD value) {
    if (!SelectCamera(camera)) return false;
    std::array<std::uint8_t, 4> quadlet;
    platform::StoreBE32(quadlet.data(), value);
    const DWORD offsetLow = kRegisterSpace + m_Cameras[camera].dwCommandBase + offset;
    return BroadcastWrite(quadlet.data(), kOffsetHigh, offsetLow) ||
           LogRegisterFailure("broadcast write", offsetLow, 1);
}

// ---- Format 7 and vendor blocks ----

bool C1394Dcam::Format7Address(int camera, int f7mode, DWORD offset, bool cachedBase,
                               DWORD* offsetLow) {
    if (!IsCamera(camera) || f7mode < 0 || f7mode > 7) return false;
    if (!cachedBase) {
        DWORD modes = 0;
        DWORD block = 0;
        if (!ReadCommand(camera, kVModeInqFormat7, &modes) || !(modes & InqBit(f7mode)))
            return false;
        if (!ReadCommand(camera, kVCsrInq7 + 4 * DWORD(f7mode), &block)) return false;
        m_dwFormat7Base = block;
        m_bFormat7BaseValid = true;
    } else if (!m_bFormat7BaseValid) {
        // Nothing was looked up since the table was built: there is no block to use.
        return false;
    }
    *offsetLow = kRegisterSpace + 4 * m_dwFormat7Base + offset;
    return true;
}

bool C1394Dcam::ReadFormat7Register(int camera, int f7mode, DWORD offset, DWORD* value,
                                    bool cachedBase) {
    DWORD address = 0;
    return value != nullptr && Format7Address(camera, f7mode, offset, cachedBase, &address) &&
           ReadQuadlets(address, std::span<DWORD>(value, 1));
}

bool C1394Dcam::WriteFormat7Register(int camera, int f7mode, DWORD offset, const DWORD* value,
                                     bool cachedBase) {
    DWORD address = 0;
    return value != nullptr && Format7Address(camera, f7mode, offset, cachedBase, &address) &&
           WriteQuadlets(address, std::span<const DWORD>(value, 1));
}

bool C1394Dcam::VendorAddress(int camera, DWORD offset, DWORD* offsetLow) {
    DWORD functions = 0;
    DWORD block = 0;
    if (!ReadCommand(camera, kBasicFuncInq, &functions) || !(functions & kBit31)) return false;
    if (!ReadCommand(camera, kAdvancedFeatureInq, &block)) return false;
    *offsetLow = kRegisterSpace + 4 * block + offset;
    return true;
}

bool C1394Dcam::LacksVendorRegisters(int camera) {
    DWORD functions = 0;
    return ReadCommand(camera, kBasicFuncInq, &functions) && !(functions & kBit31);
}

bool C1394Dcam::ReadVendorRegister(int camera, DWORD offset, DWORD* value) {
    DWORD address = 0;
    return value != nullptr && VendorAddress(camera, offset, &address) &&
           ReadQuadlets(address, std::span<DWORD>(value, 1));
}

bool C1394Dcam::WriteVendorRegister(int camera, DWORD offset, DWORD value) {
    DWORD address = 0;
    return VendorAddress(camera, offset, &address) &&
           WriteQuadlets(address, std::span<const DWORD>(&value, 1));
}

// ---- Features and memory channels ----

bool C1394Dcam::ReadFeature(int camera, int feature, DWORD* value) {
    if (feature < 0 || feature > kMaxFeature) return false;
    if (!ReadRegister(camera, FeatureOffset(feature), value)) return false;
    if (feature == kTriggerFeature) m_Cameras[camera].bTriggerOn = (*value & kTriggerOn) != 0;
    return true;
}

bool C1394Dcam::WriteFeature(int camera, int feature, const DWORD* value) {
    if (feature < 0 || feature > kMaxFeature) return false;
    if (!WriteRegister(camera, FeatureOffset(feature), value)) return false;
    if (feature == kTriggerFeature) NoteTrigger(camera, *value);
    return true;
}

// A written trigger setting: remembered, and the capture counts losses by time only without it.
void C1394Dcam::NoteTrigger(int camera, DWORD trigger) {
    const bool on = (trigger & kTriggerOn) != 0;
    m_Cameras[camera].bTriggerOn = on;
    CountLossesByTime(camera, !on);
}

bool C1394Dcam::IsTriggerOn(int camera) const {
    return IsCamera(camera) && m_Cameras[camera].bTriggerOn;
}

bool C1394Dcam::SaveMemoryChannel(int camera, int channel) {
    if (channel < 0 || channel > 15) return false;
    return WriteCommand(camera, kMemSaveChannel, DWORD(channel) << 28) &&
           WriteCommand(camera, kMemorySave, kBit31);
}
