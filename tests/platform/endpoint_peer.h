// The messages the endpoint peer process understands (see endpoint_peer.cpp).
#pragma once

#include <cstdint>

namespace endpoint_peer {

// Returns wParam + lParam.
inline constexpr std::uint32_t kEcho = 1;
// Appends wParam to the record.
inline constexpr std::uint32_t kRecord = 2;
// The record's length if it holds 1, 2, 3, ... in order, else -1.
inline constexpr std::uint32_t kCheckOrder = 3;
// Sends kEcho (1, lParam) to the endpoint wParam and returns its answer.
inline constexpr std::uint32_t kCallBack = 4;
// Prints "blocked" and never returns.
inline constexpr std::uint32_t kBlock = 5;
// Ends the peer's pump loop.
inline constexpr std::uint32_t kQuit = 6;

}  // namespace endpoint_peer
