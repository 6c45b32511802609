// The bus's shared isochronous resources: the bandwidth budget of each cycle, the 64 channels,
// and the handles given out for them. Each allocation belongs to the client that made it and
// goes when that client goes.
#pragma once

#include <bitset>
#include <cstdint>
#include <map>

#include "driver/Completion.h"
#include "driver/RequestCodes.h"

namespace driver {

class ResourceManager {
public:
    // One unit is the time one quadlet takes at 1600 Mbit/s (about 20 ns); 4915 of them are the
    // part of each 125-microsecond cycle that isochronous traffic may fill.
    static constexpr std::uint32_t kUnitsPerCycle = 4915;

    // Largest packet payload at a speed code; 0 for a code that is no speed.
    static std::uint32_t MaxPacketBytes(std::uint32_t speed);
    // Units a stream of bytesPerPacket each cycle takes at a speed (header, CRCs and gaps
    // included).
    static std::uint32_t BandwidthUnits(std::uint32_t bytesPerPacket, std::uint32_t speed);

    std::uint32_t AllocateBandwidth(ClientId client, std::uint32_t bytesPerPacket,
                                    std::uint32_t speed, std::uint32_t& handle);
    std::uint32_t FreeBandwidth(ClientId client, std::uint32_t handle);
    std::uint32_t AllocateChannel(ClientId client, std::uint32_t channel);
    std::uint32_t FreeChannel(ClientId client, std::uint32_t channel);
    // Frees everything the client holds.
    void Release(ClientId client);

    // A fresh non-zero handle, unique on the bus (bandwidth and isochronous resources).
    std::uint32_t NewHandle();

    std::uint32_t UnitsUsed() const { return m_unitsUsed; }
    const std::bitset<kChannelCount>& Channels() const { return m_channelUsed; }

private:
    struct Allocation {
        ClientId client;
        std::uint32_t units;
    };

    std::map<std::uint32_t, Allocation> m_bandwidth;  // by handle
    std::uint32_t m_unitsUsed = 0;
    std::bitset<kChannelCount> m_channelUsed;
    ClientId m_channelOwner[kChannelCount] = {};
    std::uint32_t m_nextHandle = 0x100;
};

}  // namespace driver
