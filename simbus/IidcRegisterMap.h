// Where the simulated camera's registers sit and how their bits are laid out (IIDC 1.3x).
// Written from the camera's side on purpose: a client header shared here would hide a wrong
// address on either side.
#pragma once

#include <cstdint>

namespace simbus::iidc {

// Addresses are 48-bit offsets in the node's space.
inline constexpr std::uint64_t kCsrBase = 0xFFFF'F000'0000;
inline constexpr std::uint64_t kConfigRomAddress = kCsrBase + 0x400;
inline constexpr std::uint64_t kConfigRomSpaceBytes = 0x400;

// Register blocks as quadlet offsets from kCsrBase, the form the ROM and inquiry registers give.
inline constexpr std::uint32_t kCommandBaseQuadlets = 0x3C'0000;    // 0xFFFF'F0F0'0000
inline constexpr std::uint32_t kFormat7Mode0Quadlets = 0x3C'2000;   // 0xFFFF'F0F0'8000
inline constexpr std::uint32_t kVendorBlockQuadlets = 0x3C'4000;    // 0xFFFF'F0F1'0000
inline constexpr std::uint32_t kAbsoluteBlockQuadlets = 0x3C'2400;  // 0xFFFF'F0F0'9000
inline constexpr std::uint64_t BlockAddress(std::uint32_t quadlets) {
    return kCsrBase + std::uint64_t{quadlets} * 4;
}
inline constexpr std::uint32_t kCommandBlockBytes = 0x1000;
inline constexpr std::uint32_t kFormat7BlockBytes = 0x100;
inline constexpr std::uint32_t kVendorBlockBytes = 0x100;
// Each feature's absolute-value block (min, max, value) sits 4 x (control offset - 0x800)
// into this block, 16 bytes apart.
inline constexpr std::uint32_t kAbsoluteBlockBytes = 0x240;
inline constexpr std::uint32_t kAbsoluteMin = 0x0;
inline constexpr std::uint32_t kAbsoluteMax = 0x4;
inline constexpr std::uint32_t kAbsoluteValue = 0x8;

// Command block, offsets from the command base.
inline constexpr std::uint32_t kInitialize = 0x000;
inline constexpr std::uint32_t kVFormatInq = 0x100;
inline constexpr std::uint32_t kVModeInq = 0x180;     // + 4 x format
inline constexpr std::uint32_t kVRateInq = 0x200;     // + 32 x format + 4 x mode
inline constexpr std::uint32_t kVRateInqEnd = 0x2E0;  // formats 0 to 6
inline constexpr std::uint32_t kVCsrInq7 = 0x2E0;     // + 4 x Format 7 mode
inline constexpr std::uint32_t kVCsrInq7End = 0x300;
inline constexpr std::uint32_t kBasicFuncInq = 0x400;
inline constexpr std::uint32_t kFeatureHiInq = 0x404;
inline constexpr std::uint32_t kFeatureLoInq = 0x408;
inline constexpr std::uint32_t kAdvancedFeatureInq = 0x480;
inline constexpr std::uint32_t kCurVFrmRate = 0x600;
inline constexpr std::uint32_t kCurVMode = 0x604;
inline constexpr std::uint32_t kCurVFormat = 0x608;
inline constexpr std::uint32_t kIsoChannelSpeed = 0x60C;
inline constexpr std::uint32_t kCameraPower = 0x610;
inline constexpr std::uint32_t kIsoEnable = 0x614;
inline constexpr std::uint32_t kMemorySave = 0x618;
inline constexpr std::uint32_t kShot = 0x61C;
inline constexpr std::uint32_t kMemSaveChannel = 0x620;
inline constexpr std::uint32_t kCurMemChannel = 0x624;
inline constexpr std::uint32_t kVModeErrorStatus = 0x628;
inline constexpr std::uint32_t kSoftwareTrigger = 0x62C;
// ABS_CSR offsets: the quadlet offset of a feature's absolute-value block sits 0x100 below its
// control register (0x700 to 0x73C, 0x780 to 0x78C).
inline constexpr std::uint32_t kAbsoluteCsrToControl = 0x100;

// Features 0 to 12 control at 0x800 + 4n, features 13 to 16 at 0x880 + 4(n - 13); each one's
// inquiry register sits 0x300 below its control register.
inline constexpr unsigned kFeatureCount = 17;
inline constexpr unsigned kTriggerFeature = 12;
inline constexpr std::uint32_t kFeatureInqToControl = 0x300;
inline constexpr std::uint32_t kFeatureControl = 0x800;
// FRAME_RATE, beyond the 17 features the clients number; its inquiry sits 0x300 below too.
inline constexpr std::uint32_t kFrameRateControl = 0x83C;
inline constexpr std::uint32_t FeatureControlOffset(unsigned feature) {
    return feature < 13 ? kFeatureControl + 4 * feature : 0x880 + 4 * (feature - 13);
}
// The feature whose control register is at offset, or -1.
inline constexpr int FeatureAtControl(std::uint32_t offset) {
    if (offset % 4 != 0) return -1;
    if (offset >= 0x800 && offset <= 0x830) return int((offset - 0x800) / 4);
    if (offset >= 0x880 && offset <= 0x88C) return int(13 + (offset - 0x880) / 4);
    return -1;
}

// Format 7 mode block, offsets from the mode's base.
inline constexpr std::uint32_t kMaxImageSizeInq = 0x00;
inline constexpr std::uint32_t kUnitSizeInq = 0x04;
inline constexpr std::uint32_t kImagePosition = 0x08;
inline constexpr std::uint32_t kImageSize = 0x0C;
inline constexpr std::uint32_t kColorCodingId = 0x10;
inline constexpr std::uint32_t kColorCodingInq = 0x14;
inline constexpr std::uint32_t kPixelNumberInq = 0x34;
inline constexpr std::uint32_t kTotalBytesHiInq = 0x38;
inline constexpr std::uint32_t kTotalBytesLoInq = 0x3C;
inline constexpr std::uint32_t kPacketParaInq = 0x40;
inline constexpr std::uint32_t kBytePerPacket = 0x44;
inline constexpr std::uint32_t kPacketPerFrameInq = 0x48;
inline constexpr std::uint32_t kUnitPositionInq = 0x4C;
inline constexpr std::uint32_t kColorFilterId = 0x58;  // IIDC 1.31: Bayer pattern in bits 31..24

// Bits of feature-style registers (features and vendor registers alike).
inline constexpr std::uint32_t kPresence = 0x8000'0000;
inline constexpr std::uint32_t kAbsoluteControl = 0x4000'0000;  // inquiry: offered; control: in use
inline constexpr std::uint32_t kOnePush = 0x0400'0000;
inline constexpr std::uint32_t kOn = 0x0200'0000;
inline constexpr std::uint32_t kAuto = 0x0100'0000;
inline constexpr std::uint32_t kHighValue = 0x00FF'F000;
inline constexpr std::uint32_t kValue = 0x0000'0FFF;
// Trigger register fields.
inline constexpr std::uint32_t kTriggerSource = 0x00E0'0000;
inline constexpr unsigned kTriggerSourceShift = 21;
inline constexpr unsigned kSoftwareSource = 7;
inline constexpr std::uint32_t kTriggerMode = 0x000F'0000;
inline constexpr unsigned kTriggerModeShift = 16;

// Bit (0x80000000 >> index): how inquiry registers list modes, rates, codings and formats.
inline constexpr std::uint32_t InqBit(unsigned index) { return 0x8000'0000u >> index; }
// The 3-bit fields of CUR_V_FRM_RATE, CUR_V_MODE and CUR_V_FORMAT (bits 31..29).
inline constexpr std::uint32_t kTopField = 0xE000'0000;
inline constexpr unsigned TopField(std::uint32_t value) { return value >> 29; }

}  // namespace simbus::iidc
