// Facts of a 1394 bus both daemons keep, beside the bus driver's requests and flags.
#pragma once

#include <cstdint>

#include "platform/DriverProtocol.h"

namespace driver {

// The driver's requests, records and flags (platform/DriverProtocol.h): the daemons' words.
using namespace platform::protocol;

// Node 63 is the broadcast address, so a bus holds at most 63 nodes.
inline constexpr unsigned kMaxNodes = 63;
// Tag that IIDC cameras put on their stream packets.
inline constexpr unsigned kCameraTag = 1;
// The SY value that marks the first packet of a camera frame.
inline constexpr unsigned kFrameStartSy = 1;

}  // namespace driver
