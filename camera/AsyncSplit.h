// Longer register transfers sent as consecutive requests of at most the async access unit.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

namespace camera {

// Moves one piece at offsetLow; returns the bytes moved (fewer than asked, 0 included, ends the
// transfer).
using PieceTransfer =
    std::function<unsigned(std::span<std::uint8_t> piece, std::uint32_t offsetLow)>;

// Moves data in pieces of at most unit bytes, the offset advancing by the bytes already moved
// (wrapping at 32 bits). Stops at the first piece that comes back short, so pieces already moved
// stay moved. Returns the bytes moved in all; the transfer succeeded when that is data.size().
// A unit of 0 moves nothing.
std::size_t SplitTransfer(std::span<std::uint8_t> data, std::uint32_t offsetLow, unsigned unit,
                          const PieceTransfer& piece);

}  // namespace camera
