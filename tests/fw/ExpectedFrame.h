// The picture the simulated camera sends for a fixed Format 0 mode with factory settings,
// its frame counter included: what a client on the fake kernel must receive.
#pragma once

#include <cstdint>
#include <vector>

#include "simbus/CameraModel.h"

namespace fwtest {

inline std::vector<std::uint8_t> ExpectedFrame(
    unsigned mode, unsigned rate, std::uint32_t counter, std::size_t bytes,
    simbus::CameraModel::Kind kind = simbus::CameraModel::Kind::Kx1360) {
    constexpr std::uint64_t kCommandBase = 0xFFFF'F0F0'0000;
    simbus::CameraModel model(1, kind);
    model.Write(kCommandBase + 0x608, 0);
    model.Write(kCommandBase + 0x604, mode << 29);
    model.Write(kCommandBase + 0x600, rate << 29);
    std::vector<std::uint8_t> frame(bytes);
    model.RenderFrame(frame, counter);
    return frame;
}

}  // namespace fwtest
