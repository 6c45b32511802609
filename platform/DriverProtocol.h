// The bus driver's requests: control codes, record sizes and field offsets, flags. The one
// definition the client (bus/), both daemons (driver/) and the test fakes share; a test that
// keeps its own copy on purpose checks it against this one with static_assert.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::protocol {

// Requests a plain handle sends, opened for the one request.
inline constexpr std::uint32_t kIoctlAsyncRead = 0x222008;
inline constexpr std::uint32_t kIoctlAsyncWrite = 0x22200C;
inline constexpr std::uint32_t kIoctlNodeAddress = 0x222050;
inline constexpr std::uint32_t kIoctlMaxSpeed = 0x222058;
inline constexpr std::uint32_t kIoctlConfigInfo = 0x222060;
inline constexpr std::uint32_t kIoctlHostMemoryRead = 0x2220A8;
inline constexpr std::uint32_t kIoctlHostMemoryWrite = 0x2220AC;
inline constexpr std::uint32_t kIoctlCycleTimer = 0x2220D0;
// The asynchronous write's record sent to node 63 of the local bus, which every node takes in:
// nobody answers a broadcast, so the request completes once the packet is sent.
inline constexpr std::uint32_t kIoctlAsyncBroadcastWrite = 0x2220D4;
inline constexpr unsigned kBroadcastNode = 63;
// Asks the driver to reset the bus (a short reset where the bus allows it); answered at once,
// the reset follows, heard as by every client through its bus-reset wait.
inline constexpr std::uint32_t kIoctlBusResetRequest = 0x2220D8;

// Requests on the long-lived handle of a transfer or bus-reset thread.
inline constexpr std::uint32_t kIoctlAllocateBandwidth = 0x222014;
inline constexpr std::uint32_t kIoctlAllocateChannel = 0x222018;
inline constexpr std::uint32_t kIoctlAllocateResources = 0x22201C;
inline constexpr std::uint32_t kIoctlAttachBuffers = 0x222020;
inline constexpr std::uint32_t kIoctlDetachBuffers = 0x222024;
inline constexpr std::uint32_t kIoctlFreeBandwidth = 0x222028;
inline constexpr std::uint32_t kIoctlFreeChannel = 0x22202C;
inline constexpr std::uint32_t kIoctlFreeResources = 0x222030;
inline constexpr std::uint32_t kIoctlListen = 0x222034;
inline constexpr std::uint32_t kIoctlStop = 0x222044;
inline constexpr std::uint32_t kIoctlTalk = 0x222048;
inline constexpr std::uint32_t kIoctlHostInfo = 0x22204C;
inline constexpr std::uint32_t kIoctlIsochRead = 0x222094;
inline constexpr std::uint32_t kIoctlBusResetWait = 0x2220C8;

// The request's name, for log lines.
constexpr const char* RequestName(std::uint32_t code) {
    switch (code) {
        case kIoctlAsyncRead:
            return "async-read";
        case kIoctlAsyncWrite:
            return "async-write";
        case kIoctlNodeAddress:
            return "node-address";
        case kIoctlMaxSpeed:
            return "max-speed";
        case kIoctlConfigInfo:
            return "config-info";
        case kIoctlHostMemoryRead:
            return "host-memory-read";
        case kIoctlHostMemoryWrite:
            return "host-memory-write";
        case kIoctlCycleTimer:
            return "cycle-timer";
        case kIoctlAsyncBroadcastWrite:
            return "async-broadcast-write";
        case kIoctlBusResetRequest:
            return "bus-reset";
        case kIoctlAllocateBandwidth:
            return "allocate-bandwidth";
        case kIoctlAllocateChannel:
            return "allocate-channel";
        case kIoctlAllocateResources:
            return "allocate-resources";
        case kIoctlAttachBuffers:
            return "attach-buffers";
        case kIoctlDetachBuffers:
            return "detach-buffers";
        case kIoctlFreeBandwidth:
            return "free-bandwidth";
        case kIoctlFreeChannel:
            return "free-channel";
        case kIoctlFreeResources:
            return "free-resources";
        case kIoctlListen:
            return "listen";
        case kIoctlStop:
            return "stop";
        case kIoctlTalk:
            return "talk";
        case kIoctlHostInfo:
            return "host-info";
        case kIoctlIsochRead:
            return "isoch-read";
        case kIoctlBusResetWait:
            return "bus-reset-wait";
        default:
            return "unknown request";
    }
}

// Speed codes.
inline constexpr std::uint32_t kSpeed100 = 1;
inline constexpr std::uint32_t kSpeed200 = 2;
inline constexpr std::uint32_t kSpeed400 = 4;

// Resource flags of the allocate-resources record.
inline constexpr std::uint32_t kResourceListen = 0x01;
inline constexpr std::uint32_t kResourceTalk = 0x02;
inline constexpr std::uint32_t kResourceCircular = 0x04;
inline constexpr std::uint32_t kResourceStripHeader = 0x08;
inline constexpr std::uint32_t kResourcePacketBased = 0x40;
inline constexpr std::uint32_t kResourceKnownFlags = 0x4F;

// Capability bits of the host-information answer.
inline constexpr std::uint32_t kHostCapPacketBased = 1u << 0;
inline constexpr std::uint32_t kHostCapStripHeader = 1u << 4;
inline constexpr std::uint32_t kHostCapsConfigurable = kHostCapPacketBased | kHostCapStripHeader;
// Set when the answer's word at kHostInfoReceiveContextsOffset holds the number of isochronous
// receive contexts the host controller has; a driver that predates it leaves both zero, and the
// number is unknown.
inline constexpr std::uint32_t kHostCapReceiveContexts = 1u << 8;

// Descriptor flags: a mode in the low byte; bit 31 is the caller's marker and means nothing to
// the driver.
inline constexpr std::uint32_t kDescriptorModeMask = 0xFF;
inline constexpr std::uint32_t kDescriptorSync = 0x09;
inline constexpr std::uint32_t kDescriptorTag = 0x0A;
inline constexpr std::uint32_t kDescriptorMarker = 0x8000'0000;

// Bus 1023 is the local bus in a node address (bits 0-5 node, 6-15 bus).
inline constexpr std::uint32_t kLocalBus = 1023;
inline constexpr unsigned kChannelCount = 64;

// Largest record the wire carries, less the biggest header that goes with it, and the
// descriptors one attach record may carry.
inline constexpr std::uint32_t kMaxRecordData = (16u << 20) - 64;
inline constexpr std::uint32_t kMaxDescriptors = 1024;

// Asynchronous block read and write: 40 + p bytes (p a multiple of 4), data at 36.
inline constexpr std::size_t kAsyncHeaderBytes = 36;
inline constexpr std::size_t kAsyncNodeOffset = 8;
// 16 flag bits beside the node address. kAsyncToUnit: the request goes to the unit the
// connection opened, at whatever node number it has now, and the node address is ignored; one
// round trip then addresses a camera across bus resets without asking its number first.
inline constexpr std::size_t kAsyncFlagsOffset = 10;
inline constexpr std::uint16_t kAsyncToUnit = 1;
inline constexpr std::size_t kAsyncOffsetHighOffset = 12;
inline constexpr std::size_t kAsyncOffsetLowOffset = 16;
inline constexpr std::size_t kAsyncLengthOffset = 20;
constexpr std::uint64_t AsyncRecordBytes(std::uint64_t paddedBytes) {
    return kAsyncHeaderBytes + paddedBytes + 4;
}

// Host memory read and write: n + 16 bytes, data at 12.
inline constexpr std::size_t kHostMemoryHeaderBytes = 12;
constexpr std::uint64_t HostMemoryRecordBytes(std::uint64_t nBytes) {
    return kHostMemoryHeaderBytes + nBytes + 4;
}

// Fixed records: the host flag (1 host adapter, 0 the unit's node) in the first word of the
// node-address and maximum-speed records, the answer at the offset given.
inline constexpr std::size_t kNodeAddressRecordBytes = 8;
inline constexpr std::size_t kNodeAddressOffset = 4;
inline constexpr std::size_t kMaxSpeedRecordBytes = 268;
inline constexpr std::size_t kMaxSpeedOffset = 264;
inline constexpr std::size_t kHostInfoRecordBytes = 28;
inline constexpr std::uint32_t kHostInfoLevel = 2;
inline constexpr std::size_t kHostInfoCapsOffset = 12;
inline constexpr std::size_t kHostInfoReceiveContextsOffset = 16;
inline constexpr std::size_t kBandwidthRecordBytes = 20;
inline constexpr std::size_t kBandwidthHandleOffset = 8;
// Out with a refusal (170 busy), when the driver says: the units the stream needs and those the
// bus has left; the left word is kBandwidthLeftUnknown when the driver knows only the need.
inline constexpr std::size_t kBandwidthNeededOffset = 12;
inline constexpr std::size_t kBandwidthLeftOffset = 16;
inline constexpr std::uint32_t kBandwidthLeftUnknown = 0xFFFFFFFF;
inline constexpr std::size_t kChannelRecordBytes = 16;
inline constexpr std::size_t kResourcesRecordBytes = 32;
inline constexpr std::size_t kResourceHandleOffset = 28;
inline constexpr std::size_t kDetachRecordBytes = 12;
inline constexpr std::size_t kStartRecordBytes = 12;  // listen or talk
inline constexpr std::size_t kStopRecordBytes = 8;
inline constexpr std::size_t kFreeRecordBytes = 4;

// Cycle timer: 24 bytes, sent zero. The answer holds the bus's cycle time register (seconds
// modulo 128 at bit 25, cycle count at bit 12, 24.576 MHz ticks within the cycle at bit 0) and,
// read together with it, CLOCK_MONOTONIC and CLOCK_REALTIME in nanoseconds (64-bit words).
inline constexpr std::size_t kCycleTimerRecordBytes = 24;
inline constexpr std::size_t kCycleTimerValueOffset = 0;
inline constexpr std::size_t kCycleTimerMonotonicOffset = 8;
inline constexpr std::size_t kCycleTimerRealtimeOffset = 16;

// Bus-reset request: one word, sent zero (no kind of reset is chosen yet); no answer data.
inline constexpr std::size_t kBusResetRecordBytes = 4;

// Configuration information: a 68-byte header whose four sizes say how much data follows it
// (unit directory, unit dependent directory, vendor leaf, model leaf); all four zero asks for
// the sizes.
inline constexpr std::size_t kConfigHeaderBytes = 68;
inline constexpr std::size_t kConfigGuidOffset = 12;  // 8 bytes: company id, then chip id
inline constexpr std::size_t kConfigSizeOffsets[4] = {24, 40, 56, 60};

// Isochronous read: 16 + b bytes; signed status at 4 (negative: nothing delivered), data at 16.
// After a shared-memory attach it is answered with the header alone, the frame at the offset in
// the word at 12. When a frame was delivered, the word at 8 holds the bus cycle time of its
// first packet (seconds modulo 128 at bit 25, cycle count at bit 12).
inline constexpr std::size_t kIsochReadHeaderBytes = 16;
inline constexpr std::size_t kIsochReadStatusOffset = 4;
inline constexpr std::size_t kIsochReadBytesOffset = 8;
inline constexpr std::size_t kIsochReadCycleTimeOffset = 8;
inline constexpr std::size_t kIsochReadSharedOffset = 12;

// Attach buffers: a 32-byte header (resource, descriptors, total size, flags), then per
// descriptor 32 bytes of fields, L data bytes and 4 spare bytes. With kAttachNoDataAreas in the
// flags (only with shared memory) the L bytes are left out.
inline constexpr std::size_t kAttachHeaderBytes = 32;
inline constexpr std::size_t kAttachTotalSizeOffset = 8;
inline constexpr std::size_t kAttachFlagsOffset = 12;
inline constexpr std::uint32_t kAttachNoDataAreas = 1;
inline constexpr std::size_t kDescriptorFieldBytes = 32;
inline constexpr std::size_t kDescriptorOverhead = 36;
constexpr std::uint64_t AttachRecordSize(std::uint64_t bytesPerBuffer, std::uint64_t descriptors,
                                         bool dataAreas = true) {
    return ((dataAreas ? bytesPerBuffer : 0) + kDescriptorOverhead) * descriptors +
           kAttachHeaderBytes;
}

}  // namespace platform::protocol
