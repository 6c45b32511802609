// Builders and readers of the bus driver's request records: little-endian fields at fixed
// offsets in the one buffer that the driver reads and then overwrites with its answer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

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

// Asynchronous block read and write: 40 + p bytes, data at 36.
inline constexpr std::size_t kAsyncDataOffset = 36;
inline std::uint64_t AsyncRecordSize(std::uint64_t nBytes) { return 40 + RoundUpToQuad(nBytes); }
void FillAsyncRecord(std::span<std::uint8_t> record, std::uint16_t nodeAddress,
                     std::uint16_t offsetHigh, std::uint32_t offsetLow, std::uint32_t paddedBytes);

// Host memory read and write: n + 16 bytes, data at 12.
inline constexpr std::size_t kHostMemoryDataOffset = 12;
inline std::uint64_t HostMemoryRecordSize(std::uint64_t nBytes) { return nBytes + 16; }
void FillHostMemoryRecord(std::span<std::uint8_t> record, std::uint32_t addressRange,
                          std::uint32_t nBytes);

// Node address: answer in the low 16 bits of the word at 4.
FixedRecord<8> MakeNodeAddressRecord(bool hostAdapter);
inline constexpr std::size_t kNodeAddressOffset = 4;

// Maximum speed: answer at 264.
FixedRecord<268> MakeMaxSpeedRecord(bool hostAdapter);
inline constexpr std::size_t kMaxSpeedOffset = 264;

// Configuration information: a 68-byte header whose sizes say how much data follows it.
inline constexpr std::size_t kConfigHeaderBytes = 68;
inline constexpr std::size_t kConfigCompanyIdOffset = 12;
inline constexpr std::size_t kConfigGuidOffset = 12;  // 8 bytes: company id, then chip id
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
inline constexpr std::size_t kHostInfoCapsOffset = 12;
inline constexpr std::size_t kBandwidthHandleOffset = 8;
// Out with a refusal (170 busy), when the driver says: the units the stream needs and those the
// bus has left.
inline constexpr std::size_t kBandwidthNeededOffset = 12;
inline constexpr std::size_t kBandwidthLeftOffset = 16;
// In the left word when the driver knows the need but not what the bus has left.
inline constexpr std::uint32_t kBandwidthLeftUnknown = 0xFFFFFFFF;
inline constexpr std::size_t kResourceHandleOffset = 28;
FixedRecord<28> MakeHostInfoRecord();
FixedRecord<20> MakeAllocateBandwidthRecord(std::uint32_t bytesPerPacket, std::uint32_t speed);
FixedRecord<16> MakeAllocateChannelRecord(std::uint32_t channel);

struct ResourceRequest {
    std::uint32_t speed = 0;
    std::uint32_t flags = 0;
    std::uint32_t channel = 0;
    std::uint32_t bytesPerPacket = 0;
    std::uint32_t bufferCount = 0;
    std::uint32_t bytesPerBuffer = 0;
    std::uint32_t quadletsToStrip = 0;
};
FixedRecord<32> MakeAllocateResourcesRecord(const ResourceRequest& request);
// Flags for a transfer given the host's capability bits.
std::uint32_t ResourceFlags(bool talk, std::uint32_t hostCaps, bool packetMode, bool circular);

FixedRecord<12> MakeDetachRecord(std::uint32_t resource, std::uint32_t descriptors);
FixedRecord<12> MakeStartRecord(std::uint32_t resource);  // start listening or talking
FixedRecord<8> MakeStopRecord(std::uint32_t resource);
FixedRecord<4> MakeFreeRecord(std::uint32_t handleOrChannel);

// Isochronous read: 16 + b bytes; signed status at 4 (negative: nothing delivered), data at 16.
// Answered with the header alone after a shared-memory attach: the data lie in that memory, at
// the offset the driver puts at 12.
inline constexpr std::size_t kIsochReadHeaderBytes = 16;
inline constexpr std::size_t kIsochReadStatusOffset = 4;
inline constexpr std::size_t kIsochReadSharedOffset = 12;
// Out, when a frame was delivered: the bus cycle time of its first packet (seconds modulo 128
// at bit 25, cycle count at bit 12), as the host adapter stamped it.
inline constexpr std::size_t kIsochReadCycleTimeOffset = 8;
void FillIsochReadRecord(std::span<std::uint8_t> record, std::uint32_t resource,
                         std::uint32_t bytesPerBuffer);

// Attach buffers: a 32-byte header, then per descriptor 32 bytes of fields, L data bytes and 4
// spare bytes. A listening attach that passes shared memory may leave the data areas out (36
// bytes a descriptor): the frames never travel in the record, so neither side need make, send
// or copy a frame's worth of zeros. The header's word 12 says so.
inline constexpr std::size_t kAttachHeaderBytes = 32;
inline constexpr std::size_t kAttachFlagsOffset = 12;
inline constexpr std::uint32_t kAttachNoDataAreas = 1;
inline constexpr std::size_t kDescriptorFieldBytes = 32;
inline constexpr std::size_t kDescriptorOverhead = 36;
inline constexpr std::uint32_t kDescriptorTag = 0x0A;
inline constexpr std::uint32_t kDescriptorSync = 0x09;
inline constexpr std::uint32_t kDescriptorMarker = 0x80000000;
inline std::uint64_t AttachRecordSize(std::uint64_t bytesPerBuffer, std::uint64_t descriptors,
                                      bool dataAreas = true) {
    return ((dataAreas ? bytesPerBuffer : 0) + kDescriptorOverhead) * descriptors +
           kAttachHeaderBytes;
}

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
