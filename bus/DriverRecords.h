// Builders and readers of the bus driver's request records: little-endian fields at fixed
// offsets in the one buffer that the driver reads and then overwrites with its answer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bus/DriverCodes.h"
#include "platform/ByteOrder.h"

namespace bus {

using Record = std::vector<std::uint8_t>;
template <std::size_t N>
using FixedRecord = std::array<std::uint8_t, N>;

// Sizes a record to size zeroed bytes; false when memory is short or the size is beyond what
// the driver accepts, so callers report failure instead of throwing.
bool AllocateRecord(Record& record, std::uint64_t size);

inline std::uint32_t Word(std::span<const std::uint8_t> record, std::size_t offset) {
    return platform::LoadLE32(record.data() + offset);
}
inline void SetWord(std::span<std::uint8_t> record, std::size_t offset, std::uint32_t value) {
    platform::StoreLE32(record.data() + offset, value);
}

// Bits 0-5 node number, bits 6-15 bus number.
std::uint16_t NodeAddress(unsigned nBus, unsigned nNode);
inline std::uint64_t RoundUpToQuad(std::uint64_t n) { return (n + 3) & ~std::uint64_t{3}; }

// Asynchronous block read and write of n bytes, padded to quadlets.
inline std::uint64_t AsyncRecordSize(std::uint64_t nBytes) {
    return AsyncRecordBytes(RoundUpToQuad(nBytes));
}
// flags: 0 or kAsyncToUnit.
void FillAsyncRecord(std::span<std::uint8_t> record, std::uint16_t nodeAddress,
                     std::uint16_t offsetHigh, std::uint32_t offsetLow, std::uint32_t paddedBytes,
                     std::uint16_t flags = 0);

// Host memory read and write: n + 16 bytes, data at 12.
inline std::uint64_t HostMemoryRecordSize(std::uint64_t nBytes) {
    return HostMemoryRecordBytes(nBytes);
}
void FillHostMemoryRecord(std::span<std::uint8_t> record, std::uint32_t addressRange,
                          std::uint32_t nBytes);

// Node address: answer in the low 16 bits of the word at 4.
FixedRecord<kNodeAddressRecordBytes> MakeNodeAddressRecord(bool hostAdapter);

// Maximum speed: answer at 264.
FixedRecord<kMaxSpeedRecordBytes> MakeMaxSpeedRecord(bool hostAdapter);

// Configuration information: a 68-byte header whose sizes say how much data follows it.
struct ConfigSizes {
    std::uint32_t unitDirectory = 0;
    std::uint32_t unitDependentDirectory = 0;
    std::uint32_t vendorLeaf = 0;
    std::uint32_t modelLeaf = 0;

    std::uint64_t Total() const {
        return std::uint64_t{unitDirectory} + unitDependentDirectory + vendorLeaf + modelLeaf;
    }
};
ConfigSizes ReadConfigSizes(std::span<const std::uint8_t> record);
void WriteConfigSizes(std::span<std::uint8_t> record, const ConfigSizes& sizes);

// Isochronous records of the transfer thread.
FixedRecord<kHostInfoRecordBytes> MakeHostInfoRecord();
FixedRecord<kBandwidthRecordBytes> MakeAllocateBandwidthRecord(std::uint32_t bytesPerPacket,
                                                               std::uint32_t speed);
FixedRecord<kChannelRecordBytes> MakeAllocateChannelRecord(std::uint32_t channel);

struct ResourceRequest {
    std::uint32_t speed = 0;
    std::uint32_t flags = 0;
    std::uint32_t channel = 0;
    std::uint32_t bytesPerPacket = 0;
    std::uint32_t bufferCount = 0;
    std::uint32_t bytesPerBuffer = 0;
    std::uint32_t quadletsToStrip = 0;
};
FixedRecord<kResourcesRecordBytes> MakeAllocateResourcesRecord(const ResourceRequest& request);
// Flags for a transfer given the host's capability bits.
std::uint32_t ResourceFlags(bool talk, std::uint32_t hostCaps, bool packetMode, bool circular);

FixedRecord<kDetachRecordBytes> MakeDetachRecord(std::uint32_t resource, std::uint32_t descriptors);
FixedRecord<kStartRecordBytes> MakeStartRecord(
    std::uint32_t resource);  // start listening or talking
FixedRecord<kStopRecordBytes> MakeStopRecord(std::uint32_t resource);
FixedRecord<kFreeRecordBytes> MakeFreeRecord(std::uint32_t handleOrChannel);

// Isochronous read: 16 + b bytes.
void FillIsochReadRecord(std::span<std::uint8_t> record, std::uint32_t resource,
                         std::uint32_t bytesPerBuffer);

// Attach buffers. A listening attach that passes shared memory may leave the data areas out:
// the frames never travel in the record, so neither side need make, send or copy a frame's
// worth of zeros.
struct DescriptorSetup {
    std::uint32_t flags = 0;
    std::uint32_t length = 0;
    std::uint32_t bytesPerPacket = 0;
    std::uint32_t syncValue = 0;
    std::uint32_t tagValue = 0;
};
// Flags and sync/tag values for a descriptor mode (1 tag, 2 sync, other none).
DescriptorSetup DescriptorFor(std::uint32_t mode, std::uint32_t value, bool marker);
void WriteAttachHeader(std::span<std::uint8_t> record, std::uint32_t resource,
                       std::uint32_t descriptors, std::uint32_t flags = 0);
void WriteDescriptor(std::span<std::uint8_t> block, const DescriptorSetup& setup);

// How many of a caller's byte count go into descriptor i of count, each length bytes long: full
// buffers except the last, which takes the remainder (a full buffer when that is 0); never more
// than the bytes left.
std::uint32_t DescriptorShare(std::uint64_t byteCount, std::uint32_t length, std::uint32_t index,
                              std::uint32_t count);

}  // namespace bus
