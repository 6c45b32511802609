// The messages the endpoint peer process understands (see endpoint_peer.cpp).
#pragma once

#include <cstdint>

namespace endpoint_peer {

inline constexpr std::uint32_t kEcho = 1;        // returns wParam + lParam
inline constexpr std::uint32_t kRecord = 2;      // appends wParam to the record
inline constexpr std::uint32_t kCheckOrder = 3;  // the record's length if it is 1, 2, 3, ... else -1
inline constexpr std::uint32_t kCallBack = 4;    // Sends kEcho (lParam, 1) to handle wParam, returns its answer
inline constexpr std::uint32_t kBlock = 5;       // prints "blocked" and never returns
inline constexpr std::uint32_t kQuit = 6;        // ends the peer's pump loop

}  // namespace endpoint_peer
