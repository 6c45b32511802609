// Format 7 mode 0 of the simulated camera: a window of the 1360 x 1024 sensor in mono 8,
// YUV 4:2:2 or RGB 8 (and RAW8 behind a colour filter), with its image, coding and packet
// registers.
#pragma once

#include <cstdint>
#include <optional>

#include "simbus/CameraModel.h"
#include "simbus/VideoModes.h"

namespace simbus {

class Format7Mode {
public:
    static constexpr unsigned kMaxWidth = 1360;
    static constexpr unsigned kMaxHeight = 1024;
    static constexpr unsigned kUnitWidth = 8;
    static constexpr unsigned kUnitHeight = 2;
    static constexpr unsigned kPacketUnit = 4;
    // Largest packet at an ISO speed field (0 S100, 1 S200, 2 S400): what the bus can carry.
    static std::uint32_t MaxBytesPerPacket(unsigned speed);

    // Full sensor, mono 8, the largest packets S400 carries; a sensor with a colour filter also
    // sends RAW8.
    explicit Format7Mode(BayerFilter filter = BayerFilter::None);

    // Registers at offset from the mode's base; speed is the ISO speed field now programmed.
    CameraModel::Access Read(std::uint32_t offset, unsigned speed, std::uint32_t& value) const;
    CameraModel::Access Write(std::uint32_t offset, std::uint32_t value);
    // A slower ISO speed lowers the largest packet; a larger packet setting follows it down so
    // that the stream stays one the bus can carry.
    void FollowSpeed(unsigned speed);

    // How the mode streams, or nothing while its settings are inconsistent (window off the
    // sensor or off the unit grid, a coding it lacks, a packet size it cannot send).
    std::optional<StreamShape> Shape(unsigned speed) const;

private:
    FrameFormat Format() const;

    std::uint32_t m_position = 0;  // left << 16 | top
    std::uint32_t m_size = kMaxWidth << 16 | kMaxHeight;
    unsigned m_coding = 0;
    std::uint32_t m_bytesPerPacket;
    BayerFilter m_filter;
    std::uint32_t m_codings;  // COLOR_CODING_INQ
};

}  // namespace simbus
