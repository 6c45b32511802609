// The private notices of the bus windows, beside the bus driver's request codes.
#pragma once

#include <cstdint>

#include "platform/DriverProtocol.h"

namespace bus {

// The driver's requests, records and flags (platform/DriverProtocol.h) are the bus layer's
// vocabulary.
using namespace platform::protocol;

// Messages of the hidden bus window. A client registered with message m receives m for a
// device-list change and m + 1 for a bus reset.
inline constexpr std::uint32_t kWmDestroy = 0x0002;
inline constexpr std::uint32_t kWmCameraDeviceList = 0x052D;
inline constexpr std::uint32_t kWmCameraBusReset = 0x052E;

}  // namespace bus
