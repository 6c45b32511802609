// Splitting a register transfer by the access unit.
#include "camera/AsyncSplit.h"

#include <algorithm>

namespace camera {

std::size_t SplitTransfer(std::span<std::uint8_t> data, std::uint32_t offsetLow, unsigned unit,
                          const PieceTransfer& piece) {
    if (unit == 0) return 0;
    std::size_t done = 0;
    while (done < data.size()) {
        const std::size_t asked = std::min<std::size_t>(unit, data.size() - done);
        const auto offset = static_cast<std::uint32_t>(offsetLow + done);
        const std::size_t moved =
            std::min<std::size_t>(piece(data.subspan(done, asked), offset), asked);
        done += moved;
        if (moved < asked) break;
    }
    return done;
}

}  // namespace camera
