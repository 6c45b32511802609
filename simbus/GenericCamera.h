// What sets the generic IIDC camera apart from the maker's: it answers only the standard
// IIDC 1.30/1.31 registers (no vendor block, no advanced-feature inquiry), offers fewer modes and
// features, and its configuration ROM names another vendor. It shows the same register model
// through a narrower window, so the maker's camera and it never drift apart.
#pragma once

#include <cstdint>

#include "simbus/CameraModel.h"

namespace simbus::generic {

inline constexpr std::uint32_t kCompanyId = 0x06B1C0;  // locally administered, like the maker's
inline constexpr const char* kVendorName = "Generic IIDC";
inline constexpr const char* kModelName = "GC-640 (simulated)";

// True when address is one of the maker's registers, which this camera does not have.
bool Hides(std::uint64_t address);
// Narrows what the full register model read at address to what this camera offers.
// format and mode: the camera's current CUR_V_FORMAT and CUR_V_MODE fields.
void Narrow(std::uint64_t address, unsigned format, unsigned mode, std::uint32_t& value);
// Whether the camera can send this video format and mode (any rate the full model allows).
bool Offers(unsigned format, unsigned mode);
// Whether feature 0..16 is present; the controls of absent ones read 0 and ignore writes.
bool HasFeature(unsigned feature);
// The feature whose inquiry or control register lies at address, or -1.
int FeatureAt(std::uint64_t address);

}  // namespace simbus::generic
