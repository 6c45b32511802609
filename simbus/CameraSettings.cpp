// Factory values, inquiry values and write rules of the feature and vendor registers, and how
// they light the test picture.
#include "simbus/CameraSettings.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace simbus {
namespace {

using namespace iidc;

constexpr std::uint32_t kOnePushInq = 1u << 28;
constexpr std::uint32_t kReadoutInq = 1u << 27;
constexpr std::uint32_t kOnOffInq = 1u << 26;
constexpr std::uint32_t kAutoInq = 1u << 25;
constexpr std::uint32_t kManualInq = 1u << 24;
constexpr std::uint32_t kStandard = kReadoutInq | kOnOffInq | kAutoInq | kManualInq;
constexpr std::uint32_t kManualOnly = kReadoutInq | kOnOffInq | kManualInq;
constexpr std::uint32_t kValues = kHighValue | kValue;

constexpr std::uint32_t Inquiry(std::uint32_t min, std::uint32_t max, std::uint32_t caps) {
    return kPresence | caps | min << 12 | max;
}

// A register's fixed facts. One-push on an adjusting register finds the neutral (factory)
// values at once; on the others it only completes.
struct RegisterInfo {
    std::uint32_t key;  // feature inquiry value, or vendor offset
    std::uint32_t factory;
    bool onePushAdjusts = false;
};

constexpr std::uint32_t kShutterFor1_30 = 2048;
constexpr std::array<RegisterInfo, kFeatureCount> kFeatures{{
    {Inquiry(0, 255, kStandard), 0x8200'0080},                        // brightness
    {Inquiry(0, 255, kStandard), 0x8200'0080},                        // auto exposure
    {Inquiry(0, 255, kStandard), 0x8200'0080},                        // sharpness
    {Inquiry(0, 255, kStandard | kOnePushInq), 0x8208'0080, true},    // white balance B 128, R 128
    {Inquiry(0, 255, kStandard), 0x8200'0080},                        // hue
    {Inquiry(0, 255, kStandard), 0x8200'0080},                        // saturation
    {Inquiry(0, 2, kManualOnly), 0x8000'0000},                        // gamma, off
    {Inquiry(1988, 2855, kStandard), 0x8200'0000 | kShutterFor1_30},  // shutter
    {Inquiry(0, 192, kStandard), 0x8200'0000},                        // gain
    {Inquiry(0, 255, kStandard | kOnePushInq), 0x8200'0080, true},    // iris
    {Inquiry(0, 1023, kStandard | kOnePushInq), 0x8200'0200, true},   // focus
    {Inquiry(0, 255, kManualOnly), 0x8200'0080},                      // temperature
    // Trigger: readout, on/off, polarity; modes 0 and 1 (bits 15, 14). Off, mode 0.
    {kPresence | kReadoutInq | kOnOffInq | 1u << 25 | 0xC000, 0x8000'0000},
    {Inquiry(0, 255, kStandard), 0x8200'0000},  // zoom
    {Inquiry(0, 255, kStandard), 0x8200'0080},  // pan
    {Inquiry(0, 255, kStandard), 0x8200'0080},  // tilt
    {Inquiry(0, 3, kManualOnly), 0x8200'0000},  // optical filter
}};

constexpr std::uint32_t kOff = 0x8000'0000;
constexpr std::uint32_t kMid = 0x8200'0080;
constexpr std::uint32_t kBar = 0xDC;
constexpr std::uint32_t kNega = 0xE0;
constexpr std::array<RegisterInfo, 41> kVendor{{
    {0x18, 0x8200'0000},  // flash: narrow, start 0
    {0x20, kOff},         // masking
    // Masking saturation R, Y, G, C, B, M, then masking hue R to M.
    {0x24, kMid},
    {0x28, kMid},
    {0x2C, kMid},
    {0x30, kMid},
    {0x34, kMid},
    {0x38, kMid},
    {0x3C, kMid},
    {0x40, kMid},
    {0x44, kMid},
    {0x48, kMid},
    {0x4C, kMid},
    {0x50, kMid},
    {0x60, kOff},               // auto shading
    {0x64, 0x8208'0080, true},  // black balance B 128, R 128
    {0x68, kOff},               // flare
    {0x70, kOff},               // AE peak/average 0
    {0x74, 0x8000'0001},        // AE speed MID
    {0x78, kOff},               // AE gate
    // AE gate lines 1 to 8, two to a register, every area on.
    {0x7C, 0x800F'F0FF},
    {0x80, 0x800F'F0FF},
    {0x84, 0x800F'F0FF},
    {0x88, 0x800F'F0FF},
    {0x98, 0x8008'0080},  // white gate off, H 128, V 128
    {0xA0, kOff},         // DNR
    {0xB0, 0x8000'0001},  // sharpness frequency MID
    // Level dependence, clisp, H/V balance.
    {0xB4, kMid},
    {0xB8, kMid},
    {0xBC, kMid},
    {0xC0, kOff},  // colour detail, then its phase, width and level
    {0xC4, kMid},
    {0xC8, kMid},
    {0xCC, kMid},
    {0xD0, kOff},  // high chroma
    {0xD4, kOff},  // knee
    // Colour bars, negative, GL IN 75 ohm.
    {kBar, kOff},
    {kNega, kOff},
    {0xE4, kOff},
    {0xE8, kMid},  // H phase
    {0xF0, kOff},  // pixel concentration
}};

int VendorIndex(std::uint32_t offset) {
    const auto it = std::find_if(kVendor.begin(), kVendor.end(),
                                 [offset](const RegisterInfo& r) { return r.key == offset; });
    return it == kVendor.end() ? -1 : int(it - kVendor.begin());
}

// Presence stays set; a one-push request completes at once, so its bit reads back clear.
std::uint32_t Settle(std::uint32_t value, const RegisterInfo& info) {
    value |= kPresence;
    if (value & kOnePush) {
        value &= ~kOnePush;
        if (info.onePushAdjusts) value = (value & ~kValues) | (info.factory & kValues);
    }
    return value;
}

// The value a feature applies by hand: switched on and not automatic.
std::optional<std::uint32_t> Manual(std::uint32_t reg) {
    if (!(reg & kOn) || (reg & kAuto)) return std::nullopt;
    return reg & kValue;
}

// Exposure relative to 1/30 s: each shutter step above 2048 shortens it by 0.99, each step
// below lengthens it by 1/15 s.
double Exposure(std::uint32_t shutter) {
    if (shutter >= kShutterFor1_30) return std::pow(0.99, double(shutter - kShutterFor1_30));
    return 2.0 * double(kShutterFor1_30 - shutter);
}

}  // namespace

CameraSettings::CameraSettings() : m_vendor(kVendor.size()) {
    for (unsigned f = 0; f < kFeatureCount; ++f) m_features[f] = kFeatures[f].factory;
    for (std::size_t i = 0; i < kVendor.size(); ++i) m_vendor[i] = kVendor[i].factory;
}

std::uint32_t CameraSettings::FeatureInquiry(unsigned feature) { return kFeatures[feature].key; }

void CameraSettings::WriteFeature(unsigned feature, std::uint32_t value) {
    m_features[feature] = Settle(value, kFeatures[feature]);
}

bool CameraSettings::ReadVendor(std::uint32_t offset, std::uint32_t& value) const {
    const int i = VendorIndex(offset);
    if (i < 0) return false;
    value = m_vendor[i];
    return true;
}

bool CameraSettings::WriteVendor(std::uint32_t offset, std::uint32_t value) {
    const int i = VendorIndex(offset);
    if (i < 0) return false;
    m_vendor[i] = Settle(value, kVendor[i]);
    return true;
}

PictureSettings CameraSettings::Picture() const {
    enum {
        kBrightness = 0,
        kWhiteBalance = 3,
        kSaturation = 5,
        kGamma = 6,
        kShutter = 7,
        kGain = 8
    };
    PictureSettings p;
    if (const auto v = Manual(m_features[kBrightness])) p.brightness = std::min(int(*v), 383) - 128;
    if (const auto v = Manual(m_features[kSaturation])) p.saturation = std::min(*v, 255u);
    const std::uint32_t gamma = m_features[kGamma];
    if (gamma & kOn) p.gamma = 1 + std::min(gamma & 3, 2u);

    double light = 1.0;
    if (const auto v = Manual(m_features[kShutter])) light *= Exposure(*v);
    if (const auto v = Manual(m_features[kGain])) light *= (64.0 + *v) / 64.0;
    std::array<double, 3> balance{1.0, 1.0, 1.0};
    const std::uint32_t wb = m_features[kWhiteBalance];
    if (Manual(wb)) {
        balance[0] = (wb & kValue) / 128.0;              // red / V
        balance[2] = ((wb & kHighValue) >> 12) / 128.0;  // blue / U
    }
    for (std::size_t c = 0; c < 3; ++c) {
        const double scale = std::round(light * balance[c] * PictureSettings::kUnitScale);
        p.scale[c] = std::uint32_t(std::min(scale, double(PictureSettings::kMaxScale)));
    }
    p.negative = m_vendor[VendorIndex(kNega)] & kOn;
    p.colourBars = m_vendor[VendorIndex(kBar)] & kOn;
    return p;
}

}  // namespace simbus
