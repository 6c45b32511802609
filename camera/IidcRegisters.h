// Offsets and fields of the IIDC camera registers the camera object uses: command registers
// from the camera's command base, Format 7 registers from a mode's block.
#pragma once

#include <cstdint>

namespace camera::iidc {

// Every register is addressed at 0xFFFF:(kRegisterSpace + base + offset), the sum wrapping.
inline constexpr std::uint16_t kOffsetHigh = 0xFFFF;
inline constexpr std::uint32_t kRegisterSpace = 0xF0000000;
inline constexpr unsigned kLocalBus = 1023;

// Command registers.
inline constexpr std::uint32_t kInitialize = 0x000;
inline constexpr std::uint32_t kVModeInq = 0x180;  // + 4 x format
inline constexpr std::uint32_t kVModeInqFormat7 = 0x19C;
inline constexpr std::uint32_t kVRateInq = 0x200;  // + 32 x format + 4 x mode
inline constexpr std::uint32_t kVCsrInq7 = 0x2E0;  // + 4 x Format 7 mode
inline constexpr std::uint32_t kBasicFuncInq = 0x400;
// Which features exist: bit n (from the top) for the control register at 0x800 + 4n (HI) and
// 0x880 + 4n (LO).
inline constexpr std::uint32_t kFeatureHiInq = 0x404;
inline constexpr std::uint32_t kFeatureLoInq = 0x408;
inline constexpr std::uint32_t kAdvancedFeatureInq = 0x480;
inline constexpr std::uint32_t kCurVFrmRate = 0x600;
inline constexpr std::uint32_t kCurVMode = 0x604;
inline constexpr std::uint32_t kCurVFormat = 0x608;
inline constexpr std::uint32_t kIsoChannel = 0x60C;
inline constexpr std::uint32_t kIsoEnable = 0x614;
inline constexpr std::uint32_t kMemorySave = 0x618;
inline constexpr std::uint32_t kShot = 0x61C;
inline constexpr std::uint32_t kMemSaveChannel = 0x620;
inline constexpr std::uint32_t kCurMemChannel = 0x624;
inline constexpr std::uint32_t kSoftwareTrigger = 0x62C;
// Features 0..12 at 0x800 + 4n, features 13..16 at 0x880 + 4(n - 13).
inline constexpr std::uint32_t FeatureOffset(int feature) {
    return feature < 13 ? 0x800 + 4 * std::uint32_t(feature)
                        : 0x880 + 4 * std::uint32_t(feature - 13);
}
// The trigger feature and its on/off bit: a triggered camera sends a frame per trigger.
inline constexpr int kTriggerFeature = 12;
inline constexpr std::uint32_t kTriggerOn = 0x02000000;

// FRAME_RATE lies beyond the 17 features ReadFeature numbers; the feature classes call it 17.
inline constexpr int kFrameRateFeature = 17;
inline constexpr std::uint32_t ControlOffset(int feature) {
    return feature == kFrameRateFeature ? 0x83C : FeatureOffset(feature);
}
// A feature's inquiry register, and its ABS_CSR register (the quadlet offset of its absolute
// block: minimum, maximum, value), sit this far below its control register.
inline constexpr std::uint32_t kInquiryBelowControl = 0x300;
inline constexpr std::uint32_t kAbsoluteCsrBelowControl = 0x100;
inline constexpr std::uint32_t kAbsoluteMin = 0x0;
inline constexpr std::uint32_t kAbsoluteMax = 0x4;
inline constexpr std::uint32_t kAbsoluteValue = 0x8;

// Feature inquiry and control bits.
inline constexpr std::uint32_t kAbsoluteControl = 0x4000'0000;  // both registers
inline constexpr std::uint32_t kOnePushInq = 1u << 28;
inline constexpr std::uint32_t kReadoutInq = 1u << 27;
inline constexpr std::uint32_t kOnOffInq = 1u << 26;
inline constexpr std::uint32_t kAutoInq = 1u << 25;
inline constexpr std::uint32_t kManualInq = 1u << 24;
inline constexpr std::uint32_t kOnePush = 0x0400'0000;
inline constexpr std::uint32_t kOn = 0x0200'0000;
inline constexpr std::uint32_t kAuto = 0x0100'0000;
inline constexpr std::uint32_t kHighValue = 0x00FF'F000;
inline constexpr std::uint32_t kValue = 0x0000'0FFF;
// Trigger fields: the inquiry's sources and modes, the control's polarity, source, mode.
inline constexpr std::uint32_t kTriggerPolarityInq = 1u << 25;
inline constexpr std::uint32_t kTriggerSource0Inq = 1u << 23;  // source n: this bit >> n
inline constexpr std::uint32_t kSoftwareTriggerInq = 1u << 16;
inline constexpr std::uint32_t kTriggerMode0Inq = 0x8000;  // mode n: this bit >> n
inline constexpr std::uint32_t kTriggerPolarity = 1u << 24;
inline constexpr std::uint32_t kTriggerSource = 0x00E0'0000;
inline constexpr int kTriggerSourceShift = 21;
inline constexpr unsigned kSoftwareSource = 7;
inline constexpr std::uint32_t kTriggerMode = 0x000F'0000;
inline constexpr int kTriggerModeShift = 16;

// Format 7 registers, from the mode's block.
inline constexpr std::uint32_t kMaxImageSizeInq = 0x00;
inline constexpr std::uint32_t kUnitSizeInq = 0x04;
inline constexpr std::uint32_t kImagePosition = 0x08;
inline constexpr std::uint32_t kImageSize = 0x0C;
inline constexpr std::uint32_t kColorCodingId = 0x10;
inline constexpr std::uint32_t kColorCodingInq = 0x14;
inline constexpr std::uint32_t kTotalBytesLoInq = 0x3C;
inline constexpr std::uint32_t kPacketParaInq = 0x40;
inline constexpr std::uint32_t kBytePerPacket = 0x44;
inline constexpr std::uint32_t kPacketPerFrameInq = 0x48;
// IIDC 1.31: the Bayer pattern of a raw sensor in bits 31..24; older cameras lack it.
inline constexpr std::uint32_t kColorFilterId = 0x58;

inline constexpr std::uint32_t kBit31 = 0x80000000;
inline constexpr std::uint32_t kMultiShot = 0x40000000;
inline constexpr int kFormat7 = 7;
// Bit (0x80000000 >> index), the way inquiry registers list what exists; index 0..31.
inline constexpr std::uint32_t InqBit(int index) { return kBit31 >> index; }
inline constexpr std::uint32_t High16(std::uint32_t value) { return value >> 16; }
inline constexpr std::uint32_t Low16(std::uint32_t value) { return value & 0xFFFF; }
// The 3-bit fields of the current format, mode and rate registers (bits 31..29).
inline constexpr int TopField(std::uint32_t value) { return int(value >> 29); }

}  // namespace camera::iidc
