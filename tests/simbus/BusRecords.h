// Request records as a client builds them, the IIDC register facts the tests need, and a bus
// driven in process with a manual clock, for the simulated-bus tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "driver/RequestCodes.h"
#include "driver/RequestDecoder.h"
#include "platform/ByteOrder.h"
#include "platform/DriverProtocol.h"
#include "platform/ErrorCodes.h"
#include "simbus/Bus.h"

namespace simbustest {

using Bytes = std::vector<std::uint8_t>;

// The record layout as these tests write it, on purpose apart from platform/DriverProtocol.h:
// a change of the wire format fails the build here instead of passing unnoticed through both.
namespace wire {
inline constexpr std::size_t kAsyncHeader = 36;
inline constexpr std::size_t kAttachHeader = 32;
inline constexpr std::size_t kDescriptorFields = 32;
inline constexpr std::size_t kDescriptorOverhead = 36;
inline constexpr std::size_t kConfigHeader = 68;
inline constexpr std::size_t kConfigSizes[4] = {24, 40, 56, 60};
inline constexpr std::size_t kReadHeader = 16;
inline constexpr std::uint32_t kNoDataAreas = 1;
inline constexpr std::pair<std::uint32_t, std::uint32_t> kCodes[] = {
    {0x222008, platform::protocol::kIoctlAsyncRead},
    {0x22200C, platform::protocol::kIoctlAsyncWrite},
    {0x222014, platform::protocol::kIoctlAllocateBandwidth},
    {0x222018, platform::protocol::kIoctlAllocateChannel},
    {0x22201C, platform::protocol::kIoctlAllocateResources},
    {0x222020, platform::protocol::kIoctlAttachBuffers},
    {0x222024, platform::protocol::kIoctlDetachBuffers},
    {0x222028, platform::protocol::kIoctlFreeBandwidth},
    {0x22202C, platform::protocol::kIoctlFreeChannel},
    {0x222030, platform::protocol::kIoctlFreeResources},
    {0x222034, platform::protocol::kIoctlListen},
    {0x222044, platform::protocol::kIoctlStop},
    {0x222048, platform::protocol::kIoctlTalk},
    {0x22204C, platform::protocol::kIoctlHostInfo},
    {0x222050, platform::protocol::kIoctlNodeAddress},
    {0x222058, platform::protocol::kIoctlMaxSpeed},
    {0x222060, platform::protocol::kIoctlConfigInfo},
    {0x222094, platform::protocol::kIoctlIsochRead},
    {0x2220A8, platform::protocol::kIoctlHostMemoryRead},
    {0x2220AC, platform::protocol::kIoctlHostMemoryWrite},
    {0x2220C8, platform::protocol::kIoctlBusResetWait},
    {0x2220D4, platform::protocol::kIoctlAsyncBroadcastWrite},
};
inline constexpr std::pair<std::uint32_t, std::uint32_t> kFlags[] = {
    {0x01, platform::protocol::kResourceListen},
    {0x02, platform::protocol::kResourceTalk},
    {0x04, platform::protocol::kResourceCircular},
    {0x08, platform::protocol::kResourceStripHeader},
    {0x40, platform::protocol::kResourcePacketBased},
    {0x01, platform::protocol::kHostCapPacketBased},
    {0x10, platform::protocol::kHostCapStripHeader},
    {0x09, platform::protocol::kDescriptorSync},
    {0x0A, platform::protocol::kDescriptorTag},
    {0x8000'0000, platform::protocol::kDescriptorMarker},
    {4, platform::protocol::kSpeed400},
};

constexpr bool Agree(std::span<const std::pair<std::uint32_t, std::uint32_t>> pairs) {
    for (const auto& [ours, theirs] : pairs) {
        if (ours != theirs) return false;
    }
    return true;
}
static_assert(Agree(kCodes), "a request code differs from platform/DriverProtocol.h");
static_assert(Agree(kFlags), "a flag differs from platform/DriverProtocol.h");
static_assert(kAsyncHeader == platform::protocol::kAsyncHeaderBytes);
static_assert(kAttachHeader == platform::protocol::kAttachHeaderBytes);
static_assert(kDescriptorFields == platform::protocol::kDescriptorFieldBytes);
static_assert(kDescriptorOverhead == platform::protocol::kDescriptorOverhead);
static_assert(kConfigHeader == platform::protocol::kConfigHeaderBytes);
static_assert(kReadHeader == platform::protocol::kIsochReadHeaderBytes);
static_assert(kNoDataAreas == platform::protocol::kAttachNoDataAreas);
static_assert(kConfigSizes[0] == platform::protocol::kConfigSizeOffsets[0] &&
              kConfigSizes[1] == platform::protocol::kConfigSizeOffsets[1] &&
              kConfigSizes[2] == platform::protocol::kConfigSizeOffsets[2] &&
              kConfigSizes[3] == platform::protocol::kConfigSizeOffsets[3]);
}  // namespace wire

// IIDC: registers from the command base, and the CSR space they sit in.
inline constexpr std::uint64_t kCsrSpace = 0xFFFF'0000'0000;
inline constexpr std::uint64_t kCsrBase = 0xFFFF'F000'0000;
inline constexpr std::uint32_t kCurFrameRate = 0x600;
inline constexpr std::uint32_t kCurMode = 0x604;
inline constexpr std::uint32_t kCurFormat = 0x608;
inline constexpr std::uint32_t kIsoChannelSpeed = 0x60C;
inline constexpr std::uint32_t kIsoEnable = 0x614;
inline constexpr std::uint32_t kShot = 0x61C;
inline constexpr std::uint32_t kVModeInqFormat0 = 0x180;
// 640 x 480 YUV 4:2:2 at 15 fps: 1280-byte packets, 480 of them a frame, every 533 1/3 cycles.
inline constexpr std::uint32_t kVgaFrameBytes = 640 * 480 * 2;
inline constexpr std::uint32_t kVgaPacketBytes = 1280;
inline constexpr std::uint32_t kVgaPackets = 480;

inline std::uint32_t Word(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return platform::LoadLE32(bytes.data() + offset);
}

inline Bytes Words(std::initializer_list<std::uint32_t> words, std::size_t size = 0) {
    Bytes bytes(std::max(size, words.size() * 4));
    std::size_t at = 0;
    for (const std::uint32_t word : words) {
        platform::StoreLE32(&bytes[at], word);
        at += 4;
    }
    return bytes;
}

inline std::uint16_t NodeAddress(unsigned node) {
    return std::uint16_t(simbus::kLocalBus << 6 | node);
}

inline Bytes AsyncRecord(std::uint16_t node, std::uint64_t offset, std::uint32_t padded) {
    Bytes record(wire::kAsyncHeader + padded + 4);
    platform::StoreLE32(&record[0], 1);
    platform::StoreLE32(&record[4], 1);
    platform::StoreLE16(&record[8], node);
    platform::StoreLE16(&record[12], std::uint16_t(offset >> 32));
    platform::StoreLE32(&record[16], std::uint32_t(offset));
    platform::StoreLE32(&record[20], padded);
    return record;
}

// A block write of quadlets, given in host order, travelling big-endian.
inline Bytes AsyncWrite(std::uint16_t node, std::uint64_t offset,
                        std::initializer_list<std::uint32_t> quadlets) {
    Bytes record = AsyncRecord(node, offset, std::uint32_t(quadlets.size() * 4));
    std::size_t at = wire::kAsyncHeader;
    for (const std::uint32_t quadlet : quadlets) {
        platform::StoreBE32(&record[at], quadlet);
        at += 4;
    }
    return record;
}

struct Descriptor {
    std::uint32_t flags = 0;
    std::uint32_t length = 0;
    std::uint32_t bytesPerPacket = 0;
    std::uint32_t syncValue = 0;
    std::uint32_t tagValue = 0;
};

// Without data areas (for shared memory), each descriptor is its fields and 4 spare bytes.
inline Bytes Attach(std::uint32_t resource, const std::vector<Descriptor>& descriptors,
                    std::span<const std::uint8_t> data = {}, bool dataAreas = true) {
    std::size_t total = wire::kAttachHeader;
    for (const Descriptor& d : descriptors) {
        total += wire::kDescriptorOverhead + (dataAreas ? d.length : 0);
    }
    Bytes record = Words({resource, std::uint32_t(descriptors.size()), std::uint32_t(total),
                          dataAreas ? 0 : wire::kNoDataAreas},
                         total);
    std::size_t at = wire::kAttachHeader;
    for (const Descriptor& d : descriptors) {
        const Bytes fields =
            Words({d.flags, d.length, d.bytesPerPacket, d.syncValue, d.tagValue, 0, 1, 0});
        std::copy(fields.begin(), fields.end(), record.begin() + std::ptrdiff_t(at));
        if (!dataAreas) {
            at += wire::kDescriptorOverhead;
            continue;
        }
        const std::size_t n = std::min<std::size_t>(d.length, data.size());
        std::copy_n(data.begin(), n, record.begin() + std::ptrdiff_t(at + wire::kDescriptorFields));
        data = data.subspan(n);
        at += wire::kDescriptorOverhead + d.length;
    }
    return record;
}

// Resources: speed, flags, channel, bytes per packet, buffers, bytes per buffer, strip.
inline Bytes Resources(std::uint32_t flags, std::uint32_t channel, std::uint32_t bytesPerPacket,
                       std::uint32_t buffers, std::uint32_t bytesPerBuffer) {
    const std::uint32_t strip = (flags & simbus::kResourceStripHeader) ? 1 : 0;
    return Words(
        {simbus::kSpeed400, flags, channel, bytesPerPacket, buffers, bytesPerBuffer, strip, 0});
}

// The isochronous read as the transfer thread sends it: the whole buffer goes both ways.
inline Bytes IsochRead(std::uint32_t resource, std::uint32_t bytes) {
    return Words({resource, 0, bytes, 0}, wire::kReadHeader + bytes);
}

// The camera unit's command base, from its configuration: a first config-info request gives the
// sizes, the second the unit directory, whose command-base entry follows it. `call` sends one
// request, (code, buffer) -> status; 0 when a request fails.
template <typename Call>
std::uint64_t ReadCommandBase(Call&& call) {
    Bytes header(wire::kConfigHeader);
    if (call(simbus::kIoctlConfigInfo, header) != platform::kErrorSuccess) return 0;
    const auto& sizes = wire::kConfigSizes;
    const std::uint32_t unitBytes = Word(header, sizes[0]);
    Bytes full(wire::kConfigHeader + unitBytes + Word(header, sizes[1]) + Word(header, sizes[2]) +
               Word(header, sizes[3]));
    std::copy_n(header.begin() + 24, 44, full.begin() + 24);
    if (call(simbus::kIoctlConfigInfo, full) != platform::kErrorSuccess) return 0;
    return kCsrBase +
           std::uint64_t(platform::LoadBE32(&full[wire::kConfigHeader + unitBytes]) & 0xFF'FFFF) *
               4;
}

// The bus in process: answers are kept by (client, request id) until taken.
class BusHarness : public simbus::CompletionSink {
public:
    explicit BusHarness(std::uint32_t hostCaps = simbus::kHostCapsConfigurable)
        : bus(*this, clock, hostCaps) {}

    void Complete(simbus::Completion&& completion) override {
        const auto key = std::make_pair(completion.client, completion.id);
        ++answerCount[key];
        answers[key] = std::move(completion);
    }

    std::uint32_t Send(simbus::ClientId client, std::uint32_t code, const Bytes& in,
                       std::optional<std::uint32_t> outSize = std::nullopt) {
        const std::uint32_t id = nextId++;
        bus.Submit({client, id, code, in, outSize.value_or(std::uint32_t(in.size()))});
        return id;
    }

    std::optional<simbus::Completion> Take(simbus::ClientId client, std::uint32_t id) {
        const auto it = answers.find({client, id});
        if (it == answers.end()) return std::nullopt;
        simbus::Completion completion = std::move(it->second);
        answers.erase(it);
        return completion;
    }

    // Sends a request that answers at once; its status, and its answer in out.
    std::uint32_t Call(simbus::ClientId client, std::uint32_t code, const Bytes& in,
                       Bytes* out = nullptr, std::optional<std::uint32_t> outSize = std::nullopt) {
        const auto answer = Take(client, Send(client, code, in, outSize));
        if (!answer) return platform::kErrorIoPending;
        if (out) *out = Payload(*answer);
        return answer->status;
    }

    static Bytes Payload(const simbus::Completion& completion) {
        Bytes bytes = completion.head;
        if (completion.body) {
            bytes.insert(bytes.end(), completion.body->begin(),
                         completion.body->begin() + completion.bodyLength);
        }
        return bytes;
    }

    void AdvanceTo(std::uint64_t cycle) {
        clock.Set(cycle);
        bus.Advance();
    }

    simbus::CycleClock clock = simbus::CycleClock::Manual();
    simbus::Bus bus;
    std::map<std::pair<simbus::ClientId, std::uint32_t>, simbus::Completion> answers;
    std::map<std::pair<simbus::ClientId, std::uint32_t>, int> answerCount;
    std::uint32_t nextId = 1;
};

}  // namespace simbustest
