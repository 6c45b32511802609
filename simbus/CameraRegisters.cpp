// Decodes register addresses into the camera's blocks and gives each register its behaviour.
#include "simbus/CameraRegisters.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "simbus/AbsoluteScale.h"
#include "simbus/IidcRegisterMap.h"

namespace simbus {
namespace {

using Access = CameraModel::Access;
using namespace iidc;

constexpr unsigned kFormat7 = 7;
constexpr std::uint32_t kBit31 = 0x8000'0000;
constexpr std::uint32_t kMultiShotBit = 0x4000'0000;
constexpr double kCyclesPerSecond = 8000;

// FRAME_RATE: readout in eighths of a frame per second (1.875 to 511.875), and absolute.
constexpr std::uint32_t kFrameRateInquiry =
    kPresence | kAbsoluteControl | 1u << 27 | 15u << 12 | kValue;
constexpr double kFrameRateSteps = 8;

// Basic functions: advanced features, video-mode error status, power control, one-shot,
// multi-shot, and the highest memory channel.
constexpr std::uint32_t kBasicFunctions =
    kBit31 | 1u << 30 | 1u << 15 | 1u << 12 | 1u << 11 | CameraRegisters::kMemoryChannels;

// The control register whose absolute-value block holds the byte at offset of the block.
std::uint32_t AbsoluteControl(std::uint32_t offset) { return kFeatureControl + offset / 16 * 4; }

// Offset of address inside the block at quadlets of bytes length, if it lies there.
bool InBlock(std::uint64_t address, std::uint32_t quadlets, std::uint32_t bytes,
             std::uint32_t& offset) {
    const std::uint64_t base = BlockAddress(quadlets);
    if (address < base || address >= base + bytes) return false;
    offset = std::uint32_t(address - base);
    return true;
}

std::uint32_t ModeInquiry(unsigned format) {
    if (format == kFormat7) return InqBit(0);
    std::uint32_t bits = 0;
    for (unsigned mode = 0; mode < 8; ++mode)
        for (unsigned rate = 0; rate < kRateCount; ++rate)
            if (FixedQuadletsPerPacket(format, mode, rate) != 0) bits |= InqBit(mode);
    return bits;
}

std::uint32_t RateInquiry(unsigned format, unsigned mode) {
    std::uint32_t bits = 0;
    for (unsigned rate = 0; rate < kRateCount; ++rate)
        if (FixedQuadletsPerPacket(format, mode, rate) != 0) bits |= InqBit(rate);
    return bits;
}

}  // namespace

Access CameraRegisters::Read(std::uint64_t address, std::uint32_t& value) const {
    std::uint32_t offset = 0;
    if (address % 4 != 0) return Access::Unmapped;
    if (InBlock(address, kCommandBaseQuadlets, kCommandBlockBytes, offset))
        return ReadCommand(offset, value);
    if (InBlock(address, kFormat7Mode0Quadlets, kFormat7BlockBytes, offset))
        return m_format7.Read(offset, m_isoSpeed, value);
    if (InBlock(address, kVendorBlockQuadlets, kVendorBlockBytes, offset))
        return m_settings.ReadVendor(offset, value) ? Access::Ok : Access::Unmapped;
    if (InBlock(address, kAbsoluteBlockQuadlets, kAbsoluteBlockBytes, offset))
        return ReadAbsolute(offset, value) ? Access::Ok : Access::Unmapped;
    return Access::Unmapped;
}

Access CameraRegisters::Write(std::uint64_t address, std::uint32_t value) {
    std::uint32_t offset = 0;
    if (address % 4 != 0) return Access::Unmapped;
    if (InBlock(address, kCommandBaseQuadlets, kCommandBlockBytes, offset))
        return WriteCommand(offset, value);
    if (InBlock(address, kFormat7Mode0Quadlets, kFormat7BlockBytes, offset))
        return m_format7.Write(offset, value);
    if (InBlock(address, kVendorBlockQuadlets, kVendorBlockBytes, offset))
        return m_settings.WriteVendor(offset, value) ? Access::Ok : Access::Unmapped;
    if (InBlock(address, kAbsoluteBlockQuadlets, kAbsoluteBlockBytes, offset))
        return WriteAbsolute(offset, value);
    return Access::Unmapped;
}

bool CameraRegisters::ReadAbsolute(std::uint32_t offset, std::uint32_t& value) const {
    const std::uint32_t control = AbsoluteControl(offset);
    const std::uint32_t field = offset % 16;
    if (field > kAbsoluteValue) return false;
    if (control != kFrameRateControl) {
        const int feature = FeatureAtControl(control);
        return feature >= 0 && m_settings.ReadAbsolute(unsigned(feature), field, value);
    }
    const AbsoluteScale* scale = AbsoluteScale::ForControl(control);
    const float units = field == kAbsoluteMin   ? scale->Min(kFrameRateInquiry)
                        : field == kAbsoluteMax ? scale->Max(kFrameRateInquiry)
                                                : float(FrameRate());
    value = std::bit_cast<std::uint32_t>(units);
    return true;
}

Access CameraRegisters::WriteAbsolute(std::uint32_t offset, std::uint32_t value) {
    std::uint32_t ignored = 0;
    if (!ReadAbsolute(offset, ignored)) return Access::Unmapped;
    const int feature = FeatureAtControl(AbsoluteControl(offset));
    const bool taken =
        feature >= 0 && m_settings.WriteAbsolute(unsigned(feature), offset % 16, value);
    return taken ? Access::Ok : Access::ReadOnly;
}

double CameraRegisters::FrameRate() const {
    const auto shape = Shape();
    if (!shape || shape->cyclesNum == 0) return 0;
    return kCyclesPerSecond * shape->cyclesDen / shape->cyclesNum;
}

std::uint32_t CameraRegisters::FrameRateControl() const {
    const double steps = std::min(std::round(FrameRate() * kFrameRateSteps), double(kValue));
    return kPresence | kOn | std::uint32_t(steps);
}

bool CameraRegisters::ReadInquiry(std::uint32_t offset, std::uint32_t& value) const {
    if (offset >= kVModeInq && offset < kVModeInq + 8 * 4) {
        value = ModeInquiry((offset - kVModeInq) / 4);
    } else if (offset >= kVRateInq && offset < kVRateInqEnd) {
        value = RateInquiry((offset - kVRateInq) / 32, (offset - kVRateInq) % 32 / 4);
    } else if (offset >= kVCsrInq7 && offset < kVCsrInq7End) {
        value = offset == kVCsrInq7 ? kFormat7Mode0Quadlets : 0;
    } else if (const int feature = FeatureAtControl(offset + kFeatureInqToControl);
               feature >= 0 && offset < kFeatureControl) {
        value = CameraSettings::FeatureInquiry(unsigned(feature));
    } else if (offset + kFeatureInqToControl == kFrameRateControl) {
        value = kFrameRateInquiry;
    } else if (const std::uint32_t control = offset + kAbsoluteCsrToControl;
               offset < kFeatureControl &&
               (FeatureAtControl(control) >= 0 || control == kFrameRateControl)) {
        std::uint32_t ignored = 0;
        const std::uint32_t block = (control - kFeatureControl) * 4;
        value = ReadAbsolute(block, ignored) ? kAbsoluteBlockQuadlets + block / 4 : 0;
    } else {
        switch (offset) {
            case kVFormatInq:
                value = InqBit(0) | InqBit(1) | InqBit(kFormat7);
                break;
            case kBasicFuncInq:
                value = kBasicFunctions;
                break;
            case kFeatureHiInq:
                value = 0xFFF9'0000;
                break;  // features 0 to 12 and frame rate
            case kFeatureLoInq:
                value = 0xF000'0000;
                break;  // zoom, pan, tilt, optical filter
            case kAdvancedFeatureInq:
                value = kVendorBlockQuadlets;
                break;
            case kVModeErrorStatus:
                value = Shape() ? 0 : kBit31;
                break;
            default:
                return false;
        }
    }
    return true;
}

Access CameraRegisters::ReadCommand(std::uint32_t offset, std::uint32_t& value) const {
    if (ReadInquiry(offset, value)) return Access::Ok;
    if (const int feature = FeatureAtControl(offset); feature >= 0) {
        value = m_settings.Feature(unsigned(feature));
        return Access::Ok;
    }
    switch (offset) {
        case kInitialize:
        case kMemorySave:
            value = 0;
            break;  // both act at once
        case kCurVFrmRate:
            value = m_rate << 29;
            break;
        case kCurVMode:
            value = m_mode << 29;
            break;
        case kCurVFormat:
            value = m_format << 29;
            break;
        case kIsoChannelSpeed:
            value = m_isoChannel << 28 | m_isoSpeed << 24;
            break;
        case kCameraPower:
            value = m_powered ? kBit31 : 0;
            break;
        case kIsoEnable:
            value = m_isoEnabled ? kBit31 : 0;
            break;
        case kShot:
            value = m_oneShot ? kBit31 : m_multiShot > 0 ? kMultiShotBit | m_multiShot : 0;
            break;
        case kMemSaveChannel:
            value = m_memSaveChannel << 28;
            break;
        case kCurMemChannel:
            value = m_curMemChannel << 28;
            break;
        case kSoftwareTrigger:
            value = m_trigger.Busy() ? kBit31 : 0;
            break;
        case kFrameRateControl:
            value = FrameRateControl();
            break;
        default:
            return Access::Unmapped;
    }
    return Access::Ok;
}

Access CameraRegisters::WriteCommand(std::uint32_t offset, std::uint32_t value) {
    const Access access = WriteCommandRegister(offset, value);
    FollowTrigger();
    return access;
}

Access CameraRegisters::WriteCommandRegister(std::uint32_t offset, std::uint32_t value) {
    if (const int feature = FeatureAtControl(offset); feature >= 0) {
        m_settings.WriteFeature(unsigned(feature), value);
        return Access::Ok;
    }
    const bool set = value & kBit31;
    switch (offset) {
        case kInitialize:
            if (set) LoadSettings(0);
            break;
        case kCurVFrmRate:
            m_rate = TopField(value);
            break;
        case kCurVMode:
            m_mode = TopField(value);
            break;
        case kCurVFormat:
            m_format = TopField(value);
            break;
        case kIsoChannelSpeed:
            m_isoChannel = value >> 28;
            m_isoSpeed = value >> 24 & 3;
            m_format7.FollowSpeed(m_isoSpeed);
            break;
        case kCameraPower:
            m_powered = set;
            break;
        case kIsoEnable:
            m_isoEnabled = set;
            if (set) {  // continuous transmission replaces counted shots
                m_oneShot = false;
                m_multiShot = 0;
            }
            break;
        case kShot:
            if (m_isoEnabled) break;  // shots are ignored while streaming continuously
            m_oneShot = set;          // a one-shot wins over a multi-shot
            m_multiShot = !set && (value & kMultiShotBit) ? std::uint16_t(value) : 0;
            break;
        case kMemorySave:
            if (set) m_memory[m_memSaveChannel] = m_settings;
            break;
        case kMemSaveChannel: {
            const unsigned channel = value >> 28;
            if (channel == 0 || channel > kMemoryChannels) return Access::ReadOnly;
            m_memSaveChannel = channel;
            break;
        }
        case kCurMemChannel:
            if (!LoadSettings(value >> 28)) return Access::ReadOnly;
            break;
        case kSoftwareTrigger:
            m_trigger.Software(set, Trigger(), Armed());
            break;
        default: {
            std::uint32_t ignored = 0;
            return ReadInquiry(offset, ignored) ? Access::ReadOnly : Access::Unmapped;
        }
    }
    return Access::Ok;
}

bool CameraRegisters::LoadSettings(unsigned channel) {
    if (channel > kMemoryChannels) return false;
    m_curMemChannel = channel;
    m_settings = m_memory[channel];
    return true;
}

std::optional<StreamShape> CameraRegisters::Shape() const {
    if (m_isoSpeed > 2) return std::nullopt;  // S800 is beyond this camera
    if (m_format == kFormat7) return m_mode == 0 ? m_format7.Shape(m_isoSpeed) : std::nullopt;
    return FixedModeShape(m_format, m_mode, m_rate);
}

CameraModel::StreamSetup CameraRegisters::Stream() const {
    CameraModel::StreamSetup s;
    s.channel = m_isoChannel;
    s.speedCode = 1u << m_isoSpeed;
    const auto shape = Shape();
    if (!shape) return s;
    // A camera on trigger sends only the frames its triggers released.
    s.transmitting = Armed() && (!TriggerControl::On(Trigger()) || m_trigger.FrameReady());
    s.bytesPerPacket = shape->bytesPerPacket;
    s.packetsPerFrame = shape->packetsPerFrame;
    s.frameBytes = shape->frameBytes;
    s.cyclesPerFrameNum = shape->cyclesNum;
    s.cyclesPerFrameDen = shape->cyclesDen;
    s.cyclesPerFrame = (shape->cyclesNum + shape->cyclesDen / 2) / shape->cyclesDen;
    s.width = shape->format.width;
    s.height = shape->format.height;
    s.colorCoding = unsigned(shape->format.coding);
    return s;
}

void CameraRegisters::FrameSent() {
    m_trigger.FrameSent();
    if (m_isoEnabled) return;
    if (m_oneShot)
        m_oneShot = false;
    else if (m_multiShot > 0)
        --m_multiShot;
    FollowTrigger();
}

std::string CameraRegisters::ExternalTrigger() { return m_trigger.External(Trigger(), Armed()); }

void CameraRegisters::FollowTrigger() {
    if (!TriggerControl::On(Trigger()) || !Armed()) m_trigger.Reset();
}

}  // namespace simbus
