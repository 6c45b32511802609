// A run of isochronous packets on one channel: what a camera frame or a talked buffer becomes
// on the bus. The packets are not sent one by one; listeners lay the run out in their buffers.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

namespace driver {

struct PacketRun {
    unsigned channel = 0;
    unsigned tag = 0;
    unsigned firstSy = 0;  // SY of the first packet; the others carry 0
    std::uint32_t bytesPerPacket = 0;
    std::uint64_t cycle = 0;  // the bus cycle of the first packet; one packet per cycle after it
    std::span<const std::uint8_t> payload;  // the packets back to back; the last may be short

    std::size_t PacketCount() const {
        return bytesPerPacket == 0 ? 0 : (payload.size() + bytesPerPacket - 1) / bytesPerPacket;
    }
    std::span<const std::uint8_t> Packet(std::size_t index) const {
        const std::size_t at = index * bytesPerPacket;
        return payload.subspan(at, std::min<std::size_t>(bytesPerPacket, payload.size() - at));
    }
    // The isochronous header quadlet of a packet: length, tag, channel, tcode 0xA and SY.
    std::uint32_t HeaderOf(std::size_t index) const {
        const std::uint32_t length = std::uint32_t(Packet(index).size());
        const unsigned sy = index == 0 ? firstSy : 0;
        return length << 16 | (tag & 3) << 14 | (channel & 63) << 8 | 0xA << 4 | (sy & 15);
    }
};

}  // namespace driver
