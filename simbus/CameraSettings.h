// The settings INITIALIZE restores and the memory channels hold: the feature control registers
// (0x800 to 0x88C) and the vendor block behind ADVANCED_FEATURE_INQ.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "simbus/IidcRegisterMap.h"
#include "simbus/TestPicture.h"

namespace simbus {

class CameraSettings {
public:
    // The factory settings.
    CameraSettings();

    // Feature inquiry register (presence, capabilities, min and max) of feature 0..16.
    static std::uint32_t FeatureInquiry(unsigned feature);
    std::uint32_t Feature(unsigned feature) const { return m_features[feature]; }
    void WriteFeature(unsigned feature, std::uint32_t value);

    // Vendor register at a byte offset in the vendor block; false when there is none.
    bool ReadVendor(std::uint32_t offset, std::uint32_t& value) const;
    bool WriteVendor(std::uint32_t offset, std::uint32_t value);

    // A field (min, max, value) of the feature's absolute-value block as IEEE 754 bits; false
    // when the feature has none, or (writing) when the field or value cannot be taken: only
    // the value takes writes, in range, while the feature's absolute control is on.
    bool ReadAbsolute(unsigned feature, std::uint32_t field, std::uint32_t& value) const;
    bool WriteAbsolute(unsigned feature, std::uint32_t field, std::uint32_t value);

    // What these settings do to the test picture.
    PictureSettings Picture() const;
    // Automatic shutter and gain answer the mean level (0..255) of the last frame's picture;
    // a negative level (nothing metered) changes nothing.
    void AutoExpose(double level);

private:
    std::array<std::uint32_t, iidc::kFeatureCount> m_features{};
    std::vector<std::uint32_t> m_vendor;  // in the order of the vendor register table
};

}  // namespace simbus
