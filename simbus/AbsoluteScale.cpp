// Brightness in %, white balance in K, shutter in s, gain in dB, temperature in K and frame
// rate in fps, each a function of the raw value the picture model already uses.
#include "simbus/AbsoluteScale.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "simbus/IidcRegisterMap.h"

namespace simbus {
namespace {

using namespace iidc;

double Brightness(std::uint32_t raw) { return raw * 100.0 / 255.0; }

// 2048 is 1/30 s; each step above shortens it by the factor 0.99, each step below lengthens it
// by 1/15 s (the picture's exposure follows the same curve).
double Shutter(std::uint32_t raw) {
    if (raw >= 2048) return std::pow(0.99, double(raw - 2048)) / 30.0;
    return double(2048 - raw) / 15.0;
}

// The picture is lit by (64 + raw) / 64.
double Gain(std::uint32_t raw) { return 20.0 * std::log10((64.0 + raw) / 64.0); }

// The cooler's target, a quarter kelvin a step from -20 degrees Celsius.
double Temperature(std::uint32_t raw) { return 253.15 + raw / 4.0; }

double FrameRate(std::uint32_t raw) { return raw / 8.0; }

// White balance: the light's colour temperature whose red and blue gains the two values are.
// At 6500 K both are 128; warmer light needs less red and more blue: red is
// 128 x (K / 6500)^0.4 and blue 128 x (6500 / K)^0.4.
constexpr double kNeutralKelvin = 6500;
constexpr double kBalanceExponent = 0.4;
constexpr double kMinKelvin = 2800;
constexpr double kMaxKelvin = 10000;
constexpr std::uint32_t kBalanceUnit = 128;

double Kelvin(std::uint32_t control) {
    const double red = std::max<std::uint32_t>(control & kValue, 1);
    const double blue = std::max<std::uint32_t>((control & kHighValue) >> 12, 1);
    const double k = kNeutralKelvin * std::pow(red / blue, 0.5 / kBalanceExponent);
    return std::clamp(k, kMinKelvin, kMaxKelvin);
}

std::uint32_t BalanceValue(double ratio, std::uint32_t low, std::uint32_t high) {
    const double v = std::round(kBalanceUnit * std::pow(ratio, kBalanceExponent));
    return std::uint32_t(std::clamp(v, double(low), double(high)));
}

constexpr std::array<AbsoluteScale, 6> kScales{{
    AbsoluteScale({0x800, Brightness}),
    AbsoluteScale({0x80C, nullptr}),
    AbsoluteScale({0x81C, Shutter}),
    AbsoluteScale({0x820, Gain}),
    AbsoluteScale({0x82C, Temperature}),
    AbsoluteScale({kFrameRateControl, FrameRate}),
}};

std::uint32_t RawMin(std::uint32_t inquiry) { return (inquiry & kHighValue) >> 12; }
std::uint32_t RawMax(std::uint32_t inquiry) { return inquiry & kValue; }

}  // namespace

const AbsoluteScale* AbsoluteScale::ForControl(std::uint32_t controlOffset) {
    for (const AbsoluteScale& scale : kScales) {
        if (scale.ControlOffset() == controlOffset) return &scale;
    }
    return nullptr;
}

float AbsoluteScale::Min(std::uint32_t inquiry) const {
    if (!m_entry.units) return float(kMinKelvin);
    return float(std::min(m_entry.units(RawMin(inquiry)), m_entry.units(RawMax(inquiry))));
}

float AbsoluteScale::Max(std::uint32_t inquiry) const {
    if (!m_entry.units) return float(kMaxKelvin);
    return float(std::max(m_entry.units(RawMin(inquiry)), m_entry.units(RawMax(inquiry))));
}

float AbsoluteScale::ToUnits(std::uint32_t control) const {
    return float(m_entry.units ? m_entry.units(control & kValue) : Kelvin(control));
}

std::uint32_t AbsoluteScale::FromUnits(float units, std::uint32_t control,
                                       std::uint32_t inquiry) const {
    const std::uint32_t low = RawMin(inquiry), high = RawMax(inquiry);
    if (!m_entry.units) {
        const double ratio = units / kNeutralKelvin;
        const std::uint32_t red = BalanceValue(ratio, low, high);
        const std::uint32_t blue = BalanceValue(1 / ratio, low, high);
        return (control & ~(kHighValue | kValue)) | blue << 12 | red;
    }
    // Every scale is monotonic over a few thousand steps at most: the nearest is found by
    // looking, which keeps raw -> units -> raw exact.
    std::uint32_t best = low;
    for (std::uint32_t raw = low; raw <= high; ++raw) {
        if (std::abs(m_entry.units(raw) - units) < std::abs(m_entry.units(best) - units))
            best = raw;
    }
    return (control & ~kValue) | best;
}

}  // namespace simbus
