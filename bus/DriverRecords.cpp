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
                     std::uint16_t offsetHigh, std::uint32_t offsetLow, std::uint32_t paddedBytes,
                     std::uint16_t flags) {
    SetWord(record, 0, 1);
    SetWord(record, 4, 1);
    platform::StoreLE16(&record[kAsyncNodeOffset], nodeAddress);
    platform::StoreLE16(&record[kAsyncFlagsOffset], flags);
    platform::StoreLE16(&record[kAsyncOffsetHighOffset], offsetHigh);
    SetWord(record, kAsyncOffsetLowOffset, offsetLow);
    SetWord(record, kAsyncLengthOffset, paddedBytes);
}

void FillHostMemoryRecord(std::span<std::uint8_t> record, std::uint32_t addressRange,
                          std::uint32_t nBytes) {
    SetWord(record, 0, addressRange);
    SetWord(record, 4, nBytes);
    SetWord(record, 8, 0);
}

FixedRecord<kNodeAddressRecordBytes> MakeNodeAddressRecord(bool hostAdapter) {
    FixedRecord<kNodeAddressRecordBytes> record{};
    SetWord(record, 0, hostAdapter ? 1 : 0);
    return record;
}

FixedRecord<kMaxSpeedRecordBytes> MakeMaxSpeedRecord(bool hostAdapter) {
    FixedRecord<kMaxSpeedRecordBytes> record{};
    SetWord(record, 0, hostAdapter ? 1 : 0);
    return record;
}

ConfigSizes ReadConfigSizes(std::span<const std::uint8_t> record) {
    const auto& at = kConfigSizeOffsets;
    return {Word(record, at[0]), Word(record, at[1]), Word(record, at[2]), Word(record, at[3])};
}

void WriteConfigSizes(std::span<std::uint8_t> record, const ConfigSizes& sizes) {
    SetWord(record, kConfigSizeOffsets[0], sizes.unitDirectory);
    SetWord(record, kConfigSizeOffsets[1], sizes.unitDependentDirectory);
    SetWord(record, kConfigSizeOffsets[2], sizes.vendorLeaf);
    SetWord(record, kConfigSizeOffsets[3], sizes.modelLeaf);
}

FixedRecord<kHostInfoRecordBytes> MakeHostInfoRecord() {
    FixedRecord<kHostInfoRecordBytes> record{};
    SetWord(record, 4, kHostInfoLevel);
    SetWord(record, 8, kHostInfoRecordBytes);
    return record;
}

FixedRecord<kBandwidthRecordBytes> MakeAllocateBandwidthRecord(std::uint32_t bytesPerPacket,
                                                               std::uint32_t speed) {
    FixedRecord<kBandwidthRecordBytes> record{};
    SetWord(record, 0, bytesPerPacket);
    SetWord(record, 4, speed);
    return record;
}

FixedRecord<kChannelRecordBytes> MakeAllocateChannelRecord(std::uint32_t channel) {
    FixedRecord<kChannelRecordBytes> record{};
    SetWord(record, 0, channel);
    return record;
}

FixedRecord<kResourcesRecordBytes> MakeAllocateResourcesRecord(const ResourceRequest& request) {
    FixedRecord<kResourcesRecordBytes> record{};
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

FixedRecord<kDetachRecordBytes> MakeDetachRecord(std::uint32_t resource,
                                                 std::uint32_t descriptors) {
    FixedRecord<kDetachRecordBytes> record{};
    SetWord(record, 0, resource);
    SetWord(record, 4, descriptors);
    return record;
}

FixedRecord<kStartRecordBytes> MakeStartRecord(std::uint32_t resource) {
    FixedRecord<kStartRecordBytes> record{};
    SetWord(record, 0, resource);
    return record;
}

FixedRecord<kStopRecordBytes> MakeStopRecord(std::uint32_t resource) {
    FixedRecord<kStopRecordBytes> record{};
    SetWord(record, 0, resource);
    return record;
}

FixedRecord<kFreeRecordBytes> MakeFreeRecord(std::uint32_t handleOrChannel) {
    FixedRecord<kFreeRecordBytes> record{};
    SetWord(record, 0, handleOrChannel);
    return record;
}

void FillIsochReadRecord(std::span<std::uint8_t> record, std::uint32_t resource,
                         std::uint32_t bytesPerBuffer) {
    SetWord(record, 0, resource);
    SetWord(record, kIsochReadStatusOffset, 0);
    SetWord(record, kIsochReadBytesOffset, bytesPerBuffer);
    SetWord(record, kIsochReadSharedOffset, 0);
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
    SetWord(record, kAttachTotalSizeOffset, static_cast<std::uint32_t>(record.size()));
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
