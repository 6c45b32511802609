// The generic camera's register window over the full model.
#include "simbus/GenericCamera.h"

#include "simbus/IidcRegisterMap.h"

namespace simbus::generic {
namespace {

using namespace iidc;

constexpr std::uint32_t kFormat7 = 7;
// Format 0 modes 1 (320 x 240 YUV 4:2:2), 3 (640 x 480 YUV 4:2:2), 4 (RGB 8), 5 (mono 8).
constexpr std::uint32_t kFormat0Modes = InqBit(1) | InqBit(3) | InqBit(4) | InqBit(5);
// Brightness, auto exposure, white balance, shutter and gain.
constexpr std::uint32_t kFeatures = InqBit(0) | InqBit(1) | InqBit(3) | InqBit(7) | InqBit(8);
constexpr std::uint32_t kAdvancedFeatureBit = 0x8000'0000;

// Offset from the command base when address lies in the command block.
bool InCommandBlock(std::uint64_t address, std::uint32_t& offset) {
    const std::uint64_t base = BlockAddress(kCommandBaseQuadlets);
    if (address < base || address >= base + kCommandBlockBytes) return false;
    offset = std::uint32_t(address - base);
    return true;
}

}  // namespace

bool Offers(unsigned format, unsigned mode) {
    if (format == 0) return mode < 8 && (kFormat0Modes & InqBit(mode)) != 0;
    return format == kFormat7 && mode == 0;
}

bool HasFeature(unsigned feature) { return feature < 32 && (kFeatures & InqBit(feature)) != 0; }

int FeatureAt(std::uint64_t address) {
    std::uint32_t offset = 0;
    if (!InCommandBlock(address, offset)) return -1;
    if (const int feature = FeatureAtControl(offset); feature >= 0) return feature;
    return FeatureAtControl(offset + kFeatureInqToControl);
}

bool Hides(std::uint64_t address) {
    const std::uint64_t vendor = BlockAddress(kVendorBlockQuadlets);
    if (address >= vendor && address < vendor + kVendorBlockBytes) return true;
    std::uint32_t offset = 0;
    return InCommandBlock(address, offset) && offset == kAdvancedFeatureInq;
}

void Narrow(std::uint64_t address, unsigned format, unsigned mode, std::uint32_t& value) {
    std::uint32_t offset = 0;
    if (!InCommandBlock(address, offset)) return;
    if (const int feature = FeatureAt(address); feature >= 0) {
        if (!HasFeature(unsigned(feature))) value = 0;
        return;
    }
    if (offset == kVFormatInq) {
        value &= InqBit(0) | InqBit(kFormat7);
    } else if (offset >= kVModeInq && offset < kVModeInq + 7 * 4) {
        value &= offset == kVModeInq ? kFormat0Modes : 0;
    } else if (offset >= kVRateInq && offset < kVRateInqEnd) {
        const unsigned rateFormat = (offset - kVRateInq) / 32;
        const unsigned rateMode = (offset - kVRateInq) % 32 / 4;
        if (!Offers(rateFormat, rateMode)) value = 0;
    } else if (offset == kBasicFuncInq) {
        value &= ~kAdvancedFeatureBit;
    } else if (offset == kFeatureHiInq) {
        value &= kFeatures;
    } else if (offset == kFeatureLoInq) {
        value = 0;
    } else if (offset == kVModeErrorStatus && !Offers(format, mode)) {
        value = 0x8000'0000;
    }
}

}  // namespace simbus::generic
