// Request record decoding with every size checked before a field is read.
#include "driver/RequestDecoder.h"

#include "driver/RequestCodes.h"
#include "platform/ByteOrder.h"
#include "platform/ErrorCodes.h"

namespace driver {
namespace {

using platform::kErrorInsufficientBuffer;
using platform::kErrorInvalidParameter;
using platform::kErrorNotSupported;
using platform::kErrorSuccess;

std::uint32_t Word(RequestDecoder::Bytes in, std::size_t offset) {
    return platform::LoadLE32(in.data() + offset);
}

// The common shape of a fixed record: at least inBytes came and outBytes of room were given.
std::uint32_t CheckFixed(RequestDecoder::Bytes in, std::size_t inBytes, std::uint32_t outSize,
                         std::size_t outBytes) {
    if (in.size() < inBytes) return kErrorInvalidParameter;
    if (outSize < outBytes) return kErrorInsufficientBuffer;
    return kErrorSuccess;
}

std::uint32_t DecodeFlag(RequestDecoder::Bytes in, std::size_t bytes, std::uint32_t outSize,
                         bool& host) {
    if (const std::uint32_t status = CheckFixed(in, bytes, outSize, bytes)) return status;
    const std::uint32_t flag = Word(in, 0);
    if (flag > 1) return kErrorInvalidParameter;
    host = flag == 1;
    return kErrorSuccess;
}

std::uint32_t DecodeDescriptors(RequestDecoder::Bytes in, std::uint32_t count, AttachRecord& out) {
    std::uint64_t offset = kAttachHeaderBytes;
    out.descriptors.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (offset + kDescriptorFieldBytes > out.totalSize) return kErrorInvalidParameter;
        DescriptorRecord d;
        d.flags = Word(in, offset);
        d.length = Word(in, offset + 4);
        d.bytesPerPacket = Word(in, offset + 8);
        d.syncValue = Word(in, offset + 12);
        d.tagValue = Word(in, offset + 16);
        d.dataOffset = offset + kDescriptorFieldBytes;
        const std::uint32_t mode = d.flags & ~kDescriptorMarker;
        if (d.length == 0 || (mode != 0 && mode != kDescriptorSync && mode != kDescriptorTag)) {
            return kErrorInvalidParameter;
        }
        offset += kDescriptorOverhead + (out.dataAreas ? std::uint64_t{d.length} : 0);
        if (offset > out.totalSize) return kErrorInvalidParameter;
        out.descriptors.push_back(d);
    }
    return offset == out.totalSize ? kErrorSuccess : kErrorInvalidParameter;
}

}  // namespace

std::uint32_t RequestDecoder::Async(Bytes in, std::uint32_t outSize, bool write, AsyncRecord& out) {
    if (in.size() < kAsyncHeaderBytes) return kErrorInvalidParameter;
    out.nodeAddress = platform::LoadLE16(in.data() + kAsyncNodeOffset);
    const std::uint16_t flags = platform::LoadLE16(in.data() + kAsyncFlagsOffset);
    if ((flags & ~kAsyncToUnit) != 0) return kErrorInvalidParameter;
    out.toUnit = flags == kAsyncToUnit;
    out.offset = std::uint64_t{platform::LoadLE16(in.data() + kAsyncOffsetHighOffset)} << 32 |
                 Word(in, kAsyncOffsetLowOffset);
    out.length = Word(in, kAsyncLengthOffset);
    if (out.length == 0 || out.length % 4 != 0 || out.length > kMaxRecordData) {
        return kErrorInvalidParameter;
    }
    if (write) {
        if (in.size() < kAsyncHeaderBytes + out.length) return kErrorInvalidParameter;
        out.data = in.subspan(kAsyncHeaderBytes, out.length);
        return kErrorSuccess;
    }
    // A read answers the whole record: header, p data bytes and the 4 spare bytes.
    return outSize < AsyncRecordBytes(out.length) ? kErrorInsufficientBuffer : kErrorSuccess;
}

std::uint32_t RequestDecoder::BroadcastWrite(Bytes in, std::uint32_t outSize, AsyncRecord& out) {
    if (const std::uint32_t status = Async(in, outSize, true, out)) return status;
    // A broadcast reaches the nodes of the local bus only; it has no unit to go to.
    const bool broadcast = out.nodeAddress == (kLocalBus << 6 | kBroadcastNode);
    return broadcast && !out.toUnit ? kErrorSuccess : kErrorInvalidParameter;
}

std::uint32_t RequestDecoder::NodeAddress(Bytes in, std::uint32_t outSize, bool& host) {
    return DecodeFlag(in, kNodeAddressRecordBytes, outSize, host);
}

std::uint32_t RequestDecoder::MaxSpeed(Bytes in, std::uint32_t outSize, bool& host) {
    return DecodeFlag(in, kMaxSpeedRecordBytes, outSize, host);
}

std::uint32_t RequestDecoder::ConfigInfo(Bytes in, std::uint32_t outSize, ConfigInfoRecord& out) {
    if (const std::uint32_t status =
            CheckFixed(in, kConfigHeaderBytes, outSize, kConfigHeaderBytes)) {
        return status;
    }
    for (std::size_t i = 0; i < 4; ++i) out.sizes[i] = Word(in, kConfigSizeOffsets[i]);
    return kErrorSuccess;
}

std::uint32_t RequestDecoder::HostInfo(Bytes in, std::uint32_t outSize) {
    if (const std::uint32_t status =
            CheckFixed(in, kHostInfoRecordBytes, outSize, kHostInfoRecordBytes)) {
        return status;
    }
    if (Word(in, 4) != kHostInfoLevel) return kErrorNotSupported;
    return Word(in, 8) < kHostInfoRecordBytes ? kErrorInvalidParameter : kErrorSuccess;
}

std::uint32_t RequestDecoder::CycleTimer(Bytes in, std::uint32_t outSize) {
    return CheckFixed(in, kCycleTimerRecordBytes, outSize, kCycleTimerRecordBytes);
}

std::uint32_t RequestDecoder::BusReset(Bytes in) {
    if (const std::uint32_t status = CheckFixed(in, kBusResetRecordBytes, 0, 0)) return status;
    return Word(in, 0) == 0 ? kErrorSuccess : kErrorInvalidParameter;
}

std::uint32_t RequestDecoder::Bandwidth(Bytes in, std::uint32_t outSize,
                                        std::uint32_t& bytesPerPacket, std::uint32_t& speed) {
    if (const std::uint32_t status =
            CheckFixed(in, kBandwidthRecordBytes, outSize, kBandwidthRecordBytes)) {
        return status;
    }
    bytesPerPacket = Word(in, 0);
    speed = Word(in, 4);
    return kErrorSuccess;
}

std::uint32_t RequestDecoder::Channel(Bytes in, std::uint32_t outSize, std::uint32_t& channel) {
    if (const std::uint32_t status =
            CheckFixed(in, kChannelRecordBytes, outSize, kChannelRecordBytes)) {
        return status;
    }
    channel = Word(in, 0);
    return kErrorSuccess;
}

std::uint32_t RequestDecoder::Resources(Bytes in, std::uint32_t outSize, ResourceRecord& out) {
    if (const std::uint32_t status =
            CheckFixed(in, kResourcesRecordBytes, outSize, kResourcesRecordBytes)) {
        return status;
    }
    out.speed = Word(in, 0);
    out.flags = Word(in, 4);
    out.channel = Word(in, 8);
    out.bytesPerPacket = Word(in, 12);
    out.buffers = Word(in, 16);
    out.bytesPerBuffer = Word(in, 20);
    out.quadletsToStrip = Word(in, 24);
    return kErrorSuccess;
}

std::uint32_t RequestDecoder::Attach(Bytes in, AttachRecord& out) {
    if (in.size() < kAttachHeaderBytes) return kErrorInvalidParameter;
    out.resource = Word(in, 0);
    const std::uint32_t count = Word(in, 4);
    out.totalSize = Word(in, kAttachTotalSizeOffset);
    out.dataAreas = (Word(in, kAttachFlagsOffset) & kAttachNoDataAreas) == 0;
    if (count == 0 || count > kMaxDescriptors || out.totalSize > in.size()) {
        return kErrorInvalidParameter;
    }
    return DecodeDescriptors(in, count, out);
}

std::uint32_t RequestDecoder::Detach(Bytes in, std::uint32_t& resource, std::uint32_t& count) {
    if (in.size() < kDetachRecordBytes) return kErrorInvalidParameter;
    resource = Word(in, 0);
    count = Word(in, 4);
    return count == 0 ? kErrorInvalidParameter : kErrorSuccess;
}

std::uint32_t RequestDecoder::Handle(Bytes in, std::size_t recordBytes, std::uint32_t& handle) {
    if (in.size() < recordBytes) return kErrorInvalidParameter;
    handle = Word(in, 0);
    return kErrorSuccess;
}

std::uint32_t RequestDecoder::IsochRead(Bytes in, std::uint32_t outSize, IsochReadRecord& out) {
    if (in.size() < kIsochReadHeaderBytes) return kErrorInvalidParameter;
    out.resource = Word(in, 0);
    out.bytes = Word(in, kIsochReadBytesOffset);
    if (out.bytes == 0 || out.bytes > kMaxRecordData) return kErrorInvalidParameter;
    return outSize < kIsochReadHeaderBytes + out.bytes ? kErrorInsufficientBuffer : kErrorSuccess;
}

std::uint32_t RequestDecoder::HostMemory(Bytes in, std::uint32_t outSize, bool write,
                                         HostMemoryRecord& out) {
    if (in.size() < kHostMemoryHeaderBytes) return kErrorInvalidParameter;
    out.handle = Word(in, 0);
    out.length = Word(in, 4);
    if (out.length == 0 || out.length > kMaxRecordData) return kErrorInvalidParameter;
    if (write) {
        if (in.size() < kHostMemoryHeaderBytes + out.length) return kErrorInvalidParameter;
        out.data = in.subspan(kHostMemoryHeaderBytes, out.length);
        return kErrorSuccess;
    }
    // The read answers n + 16 bytes: the header, the data and 4 spare bytes.
    return outSize < HostMemoryRecordBytes(out.length) ? kErrorInsufficientBuffer : kErrorSuccess;
}

}  // namespace driver
