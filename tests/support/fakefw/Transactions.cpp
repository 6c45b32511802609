// Asynchronous transactions (the local node's CSRs and the cameras' registers) and the
// isochronous resource manager.
#include <linux/firewire-constants.h>

#include <cerrno>
#include <cstring>

#include "platform/ByteOrder.h"
#include "tests/support/fakefw/FakeBus.h"

namespace fakefw {
namespace {

using Access = simbus::CameraModel::Access;

constexpr std::uint64_t kCsr = 0xFFFF'F000'0000;
constexpr std::uint64_t kBusManagerId = kCsr + 0x21C;
constexpr std::uint64_t kBandwidthAvailable = kCsr + 0x220;
constexpr std::uint64_t kChannelsHi = kCsr + 0x224;
constexpr std::uint64_t kChannelsLo = kCsr + 0x228;
constexpr std::uint64_t kConfigRom = kCsr + 0x400;
constexpr std::uint32_t kBandwidthInitial = 4915;

bool IsRead(std::uint32_t tcode) {
    return tcode == TCODE_READ_QUADLET_REQUEST || tcode == TCODE_READ_BLOCK_REQUEST;
}
bool IsWrite(std::uint32_t tcode) {
    return tcode == TCODE_WRITE_QUADLET_REQUEST || tcode == TCODE_WRITE_BLOCK_REQUEST;
}

// CHANNELS_AVAILABLE_HI holds channels 0 to 31 from its top bit down; _LO channels 32 to 63.
std::uint32_t ChannelsRegister(std::uint64_t free, bool high) {
    std::uint32_t value = 0;
    for (unsigned bit = 0; bit < 32; ++bit)
        if (free >> (high ? bit : bit + 32) & 1) value |= 0x8000'0000u >> bit;
    return value;
}
std::uint64_t ChannelsFrom(std::uint64_t free, std::uint32_t value, bool high) {
    for (unsigned bit = 0; bit < 32; ++bit) {
        const std::uint64_t mask = std::uint64_t{1} << (high ? bit : bit + 32);
        free = (value & 0x8000'0000u >> bit) ? free | mask : free & ~mask;
    }
    return free;
}

}  // namespace

void FakeBus::Complete(const Timed& request) {
    FwFile* file = FileById(request.file);
    if (file == nullptr) return;  // closed while the request was out
    if (request.broadcast) {
        // Every camera on the bus takes it in; as from the kernel, no response event comes.
        if (request.generation != m_generation) return;
        for (const auto& node : m_nodes)
            if (node && node->camera != 0 && !node->gone) {
                std::vector<std::uint8_t> ignored;
                Transact(*node, request.tcode, request.offset, request.payload, ignored);
            }
        return;
    }
    std::vector<std::uint8_t> out;
    std::uint32_t rcode = RCODE_COMPLETE;
    if (m_busy > 0) {
        --m_busy;
        rcode = RCODE_BUSY;
    } else if (m_wrongGeneration > 0) {
        --m_wrongGeneration;
        rcode = RCODE_GENERATION;
    } else if (request.generation != m_generation) {
        rcode = RCODE_GENERATION;
    } else if (file->Node().gone) {
        rcode = RCODE_CANCELLED;
    } else {
        out.resize(IsRead(request.tcode) ? request.length : 0);
        rcode = Transact(file->Node(), request.tcode, request.offset, request.payload, out);
    }
    if (rcode != RCODE_COMPLETE) out.clear();

    // The response's fixed part is 20 bytes padded to 24; the payload starts at 20. A payload of
    // one quadlet or less also follows the padded struct, as kernels since 2.6.27 keep it.
    fw_cdev_event_response head{};
    head.closure = request.closure;
    head.type = FW_CDEV_EVENT_RESPONSE;
    head.rcode = rcode;
    head.length = std::uint32_t(std::min<std::size_t>(out.size(), request.length));
    constexpr std::size_t kData = offsetof(fw_cdev_event_response, data);
    std::vector<std::uint8_t> event(sizeof head + head.length, 0);
    std::memcpy(event.data(), &head, kData);
    if (head.length > 0) {
        std::memcpy(event.data() + kData, out.data(), head.length);
        if (head.length <= sizeof head - kData)
            std::memcpy(event.data() + sizeof head, out.data(), head.length);
    }
    file->Post(std::move(event));
}

std::uint32_t FakeBus::Transact(FwNode& node, std::uint32_t tcode, std::uint64_t offset,
                                std::span<const std::uint8_t> payload,
                                std::vector<std::uint8_t>& out) {
    if (node.camera == 0) return LocalCsr(tcode, offset, payload, out);
    simbus::CameraModel& model = *node.model;
    if (offset % 4 != 0) return RCODE_ADDRESS_ERROR;
    if (IsRead(tcode)) {
        if (out.size() % 4 != 0) return RCODE_TYPE_ERROR;
        for (std::size_t at = 0; at < out.size(); at += 4) {
            std::uint32_t value = 0;
            if (model.Read(offset + at, value) != Access::Ok) return RCODE_ADDRESS_ERROR;
            platform::StoreBE32(&out[at], value);
        }
        return RCODE_COMPLETE;
    }
    if (!IsWrite(tcode) || payload.size() % 4 != 0) return RCODE_TYPE_ERROR;
    for (std::size_t at = 0; at < payload.size(); at += 4) {
        switch (model.Write(offset + at, platform::LoadBE32(&payload[at]))) {
            case Access::Ok:
                break;
            case Access::Unmapped:
                return RCODE_ADDRESS_ERROR;
            case Access::ReadOnly:
                return RCODE_TYPE_ERROR;
        }
    }
    return RCODE_COMPLETE;
}

std::uint32_t FakeBus::LocalCsr(std::uint32_t tcode, std::uint64_t offset,
                                std::span<const std::uint8_t> payload,
                                std::vector<std::uint8_t>& out) {
    const std::vector<std::uint32_t>& rom = m_nodes[0]->rom;
    // The quadlet at an address, or false where the node has none.
    auto read = [&](std::uint64_t address, std::uint32_t& value) {
        if (address >= kConfigRom && address < kConfigRom + rom.size() * 4) {
            value = rom[(address - kConfigRom) / 4];
        } else if (address == kBusManagerId) {
            value = m_nodes[0]->number;
        } else if (address == kBandwidthAvailable) {
            value = m_irm.bandwidth;
        } else if (address == kChannelsHi || address == kChannelsLo) {
            value = ChannelsRegister(m_irm.channelsFree, address == kChannelsHi);
        } else {
            return false;
        }
        return true;
    };
    if (offset % 4 != 0) return RCODE_ADDRESS_ERROR;
    if (IsRead(tcode)) {
        for (std::size_t at = 0; at < out.size(); at += 4) {
            std::uint32_t value = 0;
            if (!read(offset + at, value)) return RCODE_ADDRESS_ERROR;
            platform::StoreBE32(&out[at], value);
        }
        return RCODE_COMPLETE;
    }
    // The resource manager's registers take compare-swap locks, as clients allocate through them.
    const bool irm = offset == kBandwidthAvailable || offset == kChannelsHi || offset == kChannelsLo;
    if (tcode != TCODE_LOCK_COMPARE_SWAP || payload.size() != 8 || !irm)
        return irm || offset == kBusManagerId ? RCODE_TYPE_ERROR : RCODE_ADDRESS_ERROR;
    std::uint32_t old = 0;
    read(offset, old);
    const std::uint32_t expected = platform::LoadBE32(&payload[0]);
    const std::uint32_t value = platform::LoadBE32(&payload[4]);
    if (old == expected) {
        if (offset == kBandwidthAvailable)
            m_irm.bandwidth = std::min(value, kBandwidthInitial);
        else
            m_irm.channelsFree = ChannelsFrom(m_irm.channelsFree, value, offset == kChannelsHi);
    }
    out.resize(4);
    platform::StoreBE32(out.data(), old);
    return RCODE_COMPLETE;
}

void FakeBus::Manage(std::uint64_t channels, std::uint32_t units, bool allocate, int& channel,
                     int& bandwidth) {
    channel = -EINVAL;
    if (channels != 0) {
        channel = -EBUSY;
        for (int c = 0; c < 64; ++c) {
            const std::uint64_t bit = std::uint64_t{1} << c;
            const bool isFree = (m_irm.channelsFree & bit) != 0;
            if ((channels & bit) == 0 || isFree != allocate) continue;
            m_irm.channelsFree ^= bit;
            channel = c;
            break;
        }
        if (allocate && channel < 0) {
            bandwidth = 0;
            return;
        }
    }
    bandwidth = int(units);
    if (units == 0) return;
    if (!allocate) {
        m_irm.bandwidth = std::min(m_irm.bandwidth + units, kBandwidthInitial);
    } else if (m_irm.bandwidth >= units) {
        m_irm.bandwidth -= units;
    } else {
        bandwidth = 0;
        if (channel >= 0) m_irm.channelsFree |= std::uint64_t{1} << channel;
        channel = -EBUSY;
    }
}

void FakeBus::PostResource(FwFile& file, std::uint32_t type, std::uint32_t handle,
                           std::uint64_t closure, int channel, int bandwidth) {
    fw_cdev_event_iso_resource event{};
    event.closure = closure;
    event.type = type;
    event.handle = handle;
    event.channel = channel;
    event.bandwidth = bandwidth;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&event);
    file.Post({bytes, bytes + sizeof event});
}

void FakeBus::ReallocateAll() {
    for (auto& [fd, file] : m_files) {
        if (file->Node().gone) continue;
        for (auto it = file->resources.begin(); it != file->resources.end();) {
            int channel = 0, bandwidth = 0;
            Manage(it->second.channels, it->second.bandwidth, true, channel, bandwidth);
            if (channel >= 0 || bandwidth > 0) {
                ++it;
                continue;
            }
            Note("a resource did not survive the reset");
            PostResource(*file, FW_CDEV_EVENT_ISO_RESOURCE_DEALLOCATED, it->first,
                         it->second.closure, channel, bandwidth);
            it = file->resources.erase(it);
        }
    }
}

}  // namespace fakefw
