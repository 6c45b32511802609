// Factory values, inquiry values and write rules of the feature and vendor registers, and how
// they light the test picture.
#include "simbus/CameraSettings.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <optional>

#include "simbus/AbsoluteScale.h"

namespace simbus {
namespace {

using namespace iidc;

enum { kBrightness = 0, kWhiteBalance = 3, kSaturation = 5, kGamma = 6, kShutter = 7, kGain = 8 };

constexpr std::uint32_t kOnePushInq = 1u << 28;
constexpr std::uint32_t kReadoutInq = 1u << 27;
constexpr std::uint32_t kOnOffInq = 1u << 26;
constexpr std::uint32_t kAutoInq = 1u << 25;
constexpr std::uint32_t kManualInq = 1u << 24;
constexpr std::uint32_t kStandard = kReadoutInq | kOnOffInq | kAutoInq | kManualInq;
constexpr std::uint32_t kManualOnly = kReadoutInq | kOnOffInq | kManualInq;
constexpr std::uint32_t kValues = kHighValue | kValue;
// Brightness, white balance, shutter, gain and temperature also answer in real units.
constexpr std::uint32_t kAbsolute = kAbsoluteControl | kStandard;
constexpr std::uint32_t kAbsoluteManual = kAbsoluteControl | kManualOnly;
// Trigger: readout, on/off, polarity, source 0 and the software trigger; modes 0, 1 and 14.
constexpr std::uint32_t kTriggerInquiry = kPresence | kReadoutInq | kOnOffInq | 1u << 25 |
                                          1u << 23 | 1u << 16 | 0x8000 >> 0 | 0x8000 >> 1 |
                                          0x8000 >> 14;

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
    {Inquiry(0, 255, kAbsolute), 0x8200'0080},                        // brightness
    {Inquiry(0, 255, kStandard), 0x8200'0080},                        // auto exposure
    {Inquiry(0, 255, kStandard), 0x8200'0080},                        // sharpness
    {Inquiry(0, 255, kAbsolute | kOnePushInq), 0x8208'0080, true},    // white balance B 128, R 128
    {Inquiry(0, 255, kStandard), 0x8200'0080},                        // hue
    {Inquiry(0, 255, kStandard), 0x8200'0080},                        // saturation
    {Inquiry(0, 2, kManualOnly), 0x8000'0000},                        // gamma, off
    {Inquiry(1988, 2855, kAbsolute), 0x8200'0000 | kShutterFor1_30},  // shutter
    {Inquiry(0, 192, kAbsolute), 0x8200'0000},                        // gain
    {Inquiry(0, 255, kStandard | kOnePushInq), 0x8200'0080, true},    // iris
    {Inquiry(0, 1023, kStandard | kOnePushInq), 0x8200'0200, true},   // focus
    {Inquiry(0, 255, kAbsoluteManual), 0x8200'0080},                  // temperature
    {kTriggerInquiry, 0x8000'0000},                                   // trigger: off, mode 0
    {Inquiry(0, 255, kStandard), 0x8200'0000},                        // zoom
    {Inquiry(0, 255, kStandard), 0x8200'0080},                        // pan
    {Inquiry(0, 255, kStandard), 0x8200'0080},                        // tilt
    {Inquiry(0, 3, kManualOnly), 0x8200'0000},                        // optical filter
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

// The value a feature applies, manual or automatic: switched on.
std::optional<std::uint32_t> Applied(std::uint32_t reg) {
    if (!(reg & kOn)) return std::nullopt;
    return reg & kValue;
}

bool Automatic(std::uint32_t reg) { return (reg & kOn) && (reg & kAuto); }

// Exposure relative to 1/30 s: each shutter step above 2048 shortens it by 0.99, each step
// below lengthens it by 1/15 s.
double Exposure(std::uint32_t shutter) {
    if (shutter >= kShutterFor1_30) return std::pow(0.99, double(shutter - kShutterFor1_30));
    return 2.0 * double(kShutterFor1_30 - shutter);
}

constexpr double GainFactor(std::uint32_t gain) { return (64.0 + gain) / 64.0; }

// The shutter value whose exposure lies nearest to exposure (relative to 1/30 s).
std::uint32_t ShutterFor(double exposure) {
    const double raw = exposure <= 1 ? kShutterFor1_30 + std::log(exposure) / std::log(0.99)
                                     : kShutterFor1_30 - exposure / 2;
    return std::uint32_t(std::clamp(std::lround(raw), 1988L, 2855L));
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

bool CameraSettings::ReadAbsolute(unsigned feature, std::uint32_t field,
                                  std::uint32_t& value) const {
    const AbsoluteScale* scale = AbsoluteScale::ForControl(FeatureControlOffset(feature));
    const std::uint32_t inquiry = kFeatures[feature].key;
    if (!scale || !(inquiry & kAbsoluteControl)) return false;
    const float units = field == kAbsoluteMin   ? scale->Min(inquiry)
                        : field == kAbsoluteMax ? scale->Max(inquiry)
                                                : scale->ToUnits(m_features[feature]);
    value = std::bit_cast<std::uint32_t>(units);
    return true;
}

bool CameraSettings::WriteAbsolute(unsigned feature, std::uint32_t field, std::uint32_t value) {
    const AbsoluteScale* scale = AbsoluteScale::ForControl(FeatureControlOffset(feature));
    const std::uint32_t inquiry = kFeatures[feature].key;
    // Only the value takes writes, and only while the feature is in absolute control.
    if (!scale || field != kAbsoluteValue || !(m_features[feature] & kAbsoluteControl))
        return false;
    const float units = std::bit_cast<float>(value);
    if (!(units >= scale->Min(inquiry) && units <= scale->Max(inquiry))) return false;
    m_features[feature] = scale->FromUnits(units, m_features[feature], inquiry);
    return true;
}

// Lights the picture so that its mean level comes near mid-grey: the needed change of light is
// known from the level (the picture answers light about linearly), so a few frames do.
void CameraSettings::AutoExpose(double level) {
    constexpr double kTarget = 128, kTolerance = 6, kSaturated = 250;
    constexpr double kLongest = 1.0;  // 1/30 s before gain helps
    constexpr double kMaxGain = GainFactor(192);
    const bool shutterAuto = Automatic(m_features[kShutter]);
    const bool gainAuto = Automatic(m_features[kGain]);
    if ((!shutterAuto && !gainAuto) || level < 0 || std::abs(level - kTarget) <= kTolerance) return;
    const double step =
        level >= kSaturated ? 0.25 : std::clamp(kTarget / std::max(level, 1.0), 0.125, 8.0);
    double exposure = Exposure(Applied(m_features[kShutter]).value_or(kShutterFor1_30));
    double gain = GainFactor(Applied(m_features[kGain]).value_or(0));
    const double wanted = exposure * gain * step;
    if (shutterAuto) {
        // With automatic gain the shutter stays at 1/30 s or shorter until the gain is spent.
        const double longest = gainAuto && wanted <= kLongest * kMaxGain ? kLongest : 1e9;
        const std::uint32_t raw = ShutterFor(std::min(wanted / (gainAuto ? 1.0 : gain), longest));
        m_features[kShutter] = (m_features[kShutter] & ~kValue) | raw;
        exposure = Exposure(raw);
    }
    if (gainAuto) {
        gain = std::clamp(wanted / exposure, 1.0, kMaxGain);
        const auto raw = std::uint32_t(std::lround(gain * 64 - 64));
        m_features[kGain] = (m_features[kGain] & ~kValue) | raw;
    }
}

PictureSettings CameraSettings::Picture() const {
    PictureSettings p;
    if (const auto v = Manual(m_features[kBrightness])) p.brightness = std::min(int(*v), 383) - 128;
    if (const auto v = Manual(m_features[kSaturation])) p.saturation = std::min(*v, 255u);
    const std::uint32_t gamma = m_features[kGamma];
    if (gamma & kOn) p.gamma = 1 + std::min(gamma & 3, 2u);

    double light = 1.0;
    if (const auto v = Applied(m_features[kShutter])) light *= Exposure(*v);
    if (const auto v = Applied(m_features[kGain])) light *= GainFactor(*v);
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
