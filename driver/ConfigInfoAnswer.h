// The answer to a configuration-information request, from a node's bus information block and
// its four ROM pieces: a first call (all sizes 0) learns the sizes, the second gets the pieces.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "driver/Completion.h"

namespace driver {

using RomPieces = std::array<const std::vector<std::uint8_t>*, 4>;

// pieces: unit directory, unit dependent directory, vendor leaf, model leaf. Returns the status
// to answer with; out gets the answer on success.
std::uint32_t AnswerConfigInfo(const Request& request, std::span<const std::uint8_t> busInfo,
                               const RomPieces& pieces, std::vector<std::uint8_t>& out);

}  // namespace driver
