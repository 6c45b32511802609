// Builders and readers of the bus driver's request records.
#include "bus/DriverRecords.h"

#include <algorithm>
#include <new>

#include "bus/DriverCodes.h"
#include "platform/DeviceProtocol.h"

namespace bus {

bool AllocateRecord(Record& record, std::uint64_t size) {
    if (size > platform::kMaxPayload) return false;
    try {
        record.assign(static_cast<std::size_t>(size), 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

std::uint16_t NodeAddress(unsigned nBus, unsigned nNode) {
    return static_cast<std::uint16_t>((nBus & 0x3FF) << 6 | (nNode & 0x3F));
}

void FillAsyncRecord(std::span<std::uint8_t> record, std::uint16_t nodeAddress,
                     std::uint16_t offsetHigh, std::uint32_t offsetLow, std::uint32_t paddedBytes) {
    SetWord(record, 0, 1);
    SetWord(record, 4, 1);
    platform::StoreLE16(&record[8], nodeAddress);
    platform::StoreLE16(&record[12], offsetHigh);
    SetWord(record, 16, offsetLow);
    SetWord(record, 20, paddedBytes);
}

void FillHostMemoryRecord(std::span<std::uint8_t> record, std::uint32_t addressRange,
                          std::uint32_t nBytes) {
    SetWord(record, 0, addressRange);
    SetWord(record, 4, nBytes);
    SetWord(record, 8, 0);
}

FixedRecord<8> MakeNodeAddressRecord(bool hostAdapter) {
    FixedRecord<8> record{};
    SetWord(record, 0, hostAdapter ? 1 : 0);
    return record;
}

FixedRecord<268> MakeMaxSpeedRecord(bool hostAdapter) {
    FixedRecord<268> record{};
    SetWord(record, 0, hostAdapter ? 1 : 0);
    return record;
}

ConfigSizes ReadConfigSizes(std::span<const std::uint8_t> record) {
    return {Word(record, 24), Word(record, 40), Word(record, 56), Word(record, 60)};
}

void WriteConfigSizes(std::span<std::uint8_t> record, const ConfigSizes& sizes) {
    SetWord(record, 24, sizes.unitDirectory);
    SetWord(record, 40, sizes.unitDependentDirectory);
    SetWord(record, 56, sizes.vendorLeaf);
    SetWord(record, 60, sizes.modelLeaf);
}

FixedRecord<28> MakeHostInfoRecord() {
    FixedRecord<28> record{};
    SetWord(record, 4, 2);  // information level
    SetWord(record, 8, 28);
    return record;
}

FixedRecord<20> MakeAllocateBandwidthRecord(std::uint32_t bytesPerPacket, std::uint32_t speed) {
    FixedRecord<20> record{};
    SetWord(record, 0, bytesPerPacket);
    SetWord(record, 4, speed);
    return record;
}

FixedRecord<16> MakeAllocateChannelRecord(std::uint32_t channel) {
    FixedRecord<16> record{};
    SetWord(record, 0, channel);
    return record;
}

FixedRecord<32> MakeAllocateResourcesRecord(const ResourceRequest& request) {
    FixedRecord<32> record{};
    SetWord(record, 0, request.speed);
    SetWord(record, 4, request.flags);
    SetWord(record, 8, request.channel);
    SetWord(record, 12, request.bytesPerPacket);
    SetWord(record, 16, request.bufferCount);
    SetWord(record, 20, request.bytesPerBuffer);
    SetWord(record, 24, request.quadletsToStrip);
    return record;
}

std::uint32_t ResourceFlags(bool talk, std::uint32_t hostCaps, bool packetMode, bool circular) {
    std::uint32_t flags = talk ? kResourceTalk : kResourceListen;
    if (hostCaps & kHostCapStripHeader) flags |= kResourceStripHeader;
    if ((hostCaps & kHostCapPacketBased) && packetMode) flags |= kResourcePacketBased;
    if (circular) flags |= kResourceCircular;
    return flags;
}

FixedRecord<12> MakeDetachRecord(std::uint32_t resource, std::uint32_t descriptors) {
    FixedRecord<12> record{};
    SetWord(record, 0, resource);
    SetWord(record, 4, descriptors);
    return record;
}

FixedRecord<12> MakeStartRecord(std::uint32_t resource) {
    FixedRecord<12> record{};
    SetWord(record, 0, resource);
    return record;
}

FixedRecord<8> MakeStopRecord(std::uint32_t resource) {
    FixedRecord<8> record{};
    SetWord(record, 0, resource);
    return record;
}

FixedRecord<4> MakeFreeRecord(std::uint32_t handleOrChannel) {
    FixedRecord<4> record{};
    SetWord(record, 0, handleOrChannel);
    return record;
}

void FillIsochReadRecord(std::span<std::uint8_t> record, std::uint32_t resource,
                         std::uint32_t bytesPerBuffer) {
    SetWord(record, 0, resource);
    SetWord(record, kIsochReadStatusOffset, 0);
    SetWord(record, 8, bytesPerBuffer);
    SetWord(record, 12, 0);
}

DescriptorSetup DescriptorFor(std::uint32_t mode, std::uint32_t value, bool marker) {
    DescriptorSetup setup;
    if (mode == 1) {
        setup.flags = kDescriptorTag;
        setup.tagValue = value;
    } else if (mode == 2) {
        setup.flags = kDescriptorSync;
        setup.syncValue = value;
    }
    if (marker) setup.flags |= kDescriptorMarker;
    return setup;
}

void WriteAttachHeader(std::span<std::uint8_t> record, std::uint32_t resource,
                       std::uint32_t descriptors, std::uint32_t flags) {
    SetWord(record, 0, resource);
    SetWord(record, 4, descriptors);
    SetWord(record, 8, static_cast<std::uint32_t>(record.size()));
    SetWord(record, kAttachFlagsOffset, flags);
}

void WriteDescriptor(std::span<std::uint8_t> block, const DescriptorSetup& setup) {
    SetWord(block, 0, setup.flags);
    SetWord(block, 4, setup.length);
    SetWord(block, 8, setup.bytesPerPacket);
    SetWord(block, 12, setup.syncValue);
    SetWord(block, 16, setup.tagValue);
    SetWord(block, 20, 0);
    SetWord(block, 24, 1);
    SetWord(block, 28, 0);
}

std::uint32_t DescriptorShare(std::uint64_t byteCount, std::uint32_t length, std::uint32_t index,
                              std::uint32_t count) {
    if (length == 0 || index >= count) return 0;
    std::uint64_t share = length;
    if (index + 1 == count && byteCount % length != 0) share = byteCount % length;
    const std::uint64_t before = std::uint64_t{index} * length;
    const std::uint64_t left = byteCount > before ? byteCount - before : 0;
    return static_cast<std::uint32_t>(std::min(share, left));
}

}  // namespace bus
