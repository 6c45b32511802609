// Bandwidth and channel accounting shared by every client of the bus.
#include "driver/ResourceManager.h"

#include "platform/ErrorCodes.h"

namespace driver {
namespace {

using platform::kErrorBusy;
using platform::kErrorInvalidHandle;
using platform::kErrorInvalidParameter;
using platform::kErrorSuccess;

// Arbitration, the packet header and its CRC, the data CRC and the gap that follows, counted as
// a fixed cost in units.
constexpr std::uint32_t kPacketOverheadUnits = 256;
constexpr std::uint32_t kHeaderAndCrcBytes = 12;

}  // namespace

std::uint32_t ResourceManager::MaxPacketBytes(std::uint32_t speed) {
    switch (speed) {
        case kSpeed100:
            return 1024;
        case kSpeed200:
            return 2048;
        case kSpeed400:
            return 4096;
        default:
            return 0;
    }
}

std::uint32_t ResourceManager::BandwidthUnits(std::uint32_t bytesPerPacket, std::uint32_t speed) {
    if (MaxPacketBytes(speed) == 0) return UINT32_MAX;
    // A quadlet takes 4 units at S400, 8 at S200 and 16 at S100: one unit per byte at S400.
    const std::uint64_t unitsPerByte = 4 / speed;
    const std::uint64_t units =
        kPacketOverheadUnits + (std::uint64_t{bytesPerPacket} + kHeaderAndCrcBytes) * unitsPerByte;
    return units > UINT32_MAX ? UINT32_MAX : std::uint32_t(units);
}

std::uint32_t ResourceManager::AllocateBandwidth(ClientId client, std::uint32_t bytesPerPacket,
                                                 std::uint32_t speed, std::uint32_t& handle) {
    const std::uint32_t limit = MaxPacketBytes(speed);
    if (limit == 0 || bytesPerPacket == 0 || bytesPerPacket > limit) return kErrorInvalidParameter;
    const std::uint32_t units = BandwidthUnits(bytesPerPacket, speed);
    if (units > kUnitsPerCycle - m_unitsUsed) return kErrorBusy;
    handle = NewHandle();
    m_bandwidth[handle] = {client, units};
    m_unitsUsed += units;
    return kErrorSuccess;
}

std::uint32_t ResourceManager::FreeBandwidth(ClientId client, std::uint32_t handle) {
    const auto it = m_bandwidth.find(handle);
    if (it == m_bandwidth.end() || it->second.client != client) return kErrorInvalidHandle;
    m_unitsUsed -= it->second.units;
    m_bandwidth.erase(it);
    return kErrorSuccess;
}

std::uint32_t ResourceManager::AllocateChannel(ClientId client, std::uint32_t channel) {
    if (channel >= kChannelCount) return kErrorInvalidParameter;
    if (m_channelUsed[channel]) return kErrorBusy;
    m_channelUsed[channel] = true;
    m_channelOwner[channel] = client;
    return kErrorSuccess;
}

std::uint32_t ResourceManager::FreeChannel(ClientId client, std::uint32_t channel) {
    if (channel >= kChannelCount) return kErrorInvalidParameter;
    if (!m_channelUsed[channel] || m_channelOwner[channel] != client) return kErrorInvalidHandle;
    m_channelUsed[channel] = false;
    return kErrorSuccess;
}

void ResourceManager::Release(ClientId client) {
    for (auto it = m_bandwidth.begin(); it != m_bandwidth.end();) {
        if (it->second.client == client) {
            m_unitsUsed -= it->second.units;
            it = m_bandwidth.erase(it);
        } else {
            ++it;
        }
    }
    for (unsigned channel = 0; channel < kChannelCount; ++channel) {
        if (m_channelUsed[channel] && m_channelOwner[channel] == client) {
            m_channelUsed[channel] = false;
        }
    }
}

std::uint32_t ResourceManager::NewHandle() {
    if (++m_nextHandle == 0) m_nextHandle = 0x100;
    return m_nextHandle;
}

}  // namespace driver
