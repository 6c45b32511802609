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

#include "platform/ByteOrder.h"
#include "platform/ErrorCodes.h"
#include "simbus/Bus.h"
#include "simbus/RequestCodes.h"
#include "simbus/RequestDecoder.h"

namespace simbustest {

using Bytes = std::vector<std::uint8_t>;

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
    Bytes record(40 + padded);
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
    std::size_t at = 36;
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
    std::size_t total = 32;
    for (const Descriptor& d : descriptors) total += 36 + (dataAreas ? d.length : 0);
    Bytes record = Words({resource, std::uint32_t(descriptors.size()), std::uint32_t(total),
                          dataAreas ? 0 : simbus::kAttachNoDataAreas},
                         total);
    std::size_t at = 32;
    for (const Descriptor& d : descriptors) {
        const Bytes fields =
            Words({d.flags, d.length, d.bytesPerPacket, d.syncValue, d.tagValue, 0, 1, 0});
        std::copy(fields.begin(), fields.end(), record.begin() + std::ptrdiff_t(at));
        if (!dataAreas) {
            at += 36;
            continue;
        }
        const std::size_t n = std::min<std::size_t>(d.length, data.size());
        std::copy_n(data.begin(), n, record.begin() + std::ptrdiff_t(at + 32));
        data = data.subspan(n);
        at += 36 + d.length;
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
    return Words({resource, 0, bytes, 0}, 16 + bytes);
}

// The camera unit's command base, from its configuration: a first config-info request gives the
// sizes, the second the unit directory, whose command-base entry follows it. `call` sends one
// request, (code, buffer) -> status; 0 when a request fails.
template <typename Call>
std::uint64_t ReadCommandBase(Call&& call) {
    Bytes header(68);
    if (call(simbus::kCodeConfigInfo, header) != platform::kErrorSuccess) return 0;
    const std::uint32_t unitBytes = Word(header, 24);
    Bytes full(68 + unitBytes + Word(header, 40) + Word(header, 56) + Word(header, 60));
    std::copy_n(header.begin() + 24, 44, full.begin() + 24);
    if (call(simbus::kCodeConfigInfo, full) != platform::kErrorSuccess) return 0;
    return kCsrBase + std::uint64_t(platform::LoadBE32(&full[68 + unitBytes]) & 0xFF'FFFF) * 4;
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
