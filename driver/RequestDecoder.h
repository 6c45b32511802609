// Decodes the bus driver's request records (little-endian fields at fixed offsets) and checks
// every size against the bytes that came and the room the caller gave for the answer. A decode
// returns 0 or the error status to answer with; nothing here reads past the given span.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "driver/RequestCodes.h"

namespace driver {

struct AsyncRecord {
    std::uint16_t nodeAddress = 0;       // bits 0-5 node, 6-15 bus
    bool toUnit = false;                 // the connection's unit, the node address ignored
    std::uint64_t offset = 0;            // 48-bit destination offset
    std::uint32_t length = 0;            // p, a multiple of 4
    std::span<const std::uint8_t> data;  // a write's p bytes
};

struct ConfigInfoRecord {
    // Unit directory, unit dependent directory, vendor leaf, model leaf.
    std::uint32_t sizes[4] = {};
    bool AskingSizes() const { return (sizes[0] | sizes[1] | sizes[2] | sizes[3]) == 0; }
};

struct ResourceRecord {
    std::uint32_t speed = 0;
    std::uint32_t flags = 0;
    std::uint32_t channel = 0;
    std::uint32_t bytesPerPacket = 0;
    std::uint32_t buffers = 0;
    std::uint32_t bytesPerBuffer = 0;
    std::uint32_t quadletsToStrip = 0;
};

struct DescriptorRecord {
    std::uint32_t flags = 0;
    std::uint32_t length = 0;
    std::uint32_t bytesPerPacket = 0;
    std::uint32_t syncValue = 0;
    std::uint32_t tagValue = 0;
    std::size_t dataOffset = 0;  // where its L bytes start (or would) in the record
};

struct AttachRecord {
    std::uint32_t resource = 0;
    std::uint32_t totalSize = 0;
    bool dataAreas = true;  // false: 36 bytes a descriptor, its L bytes left out
    std::vector<DescriptorRecord> descriptors;
};

struct IsochReadRecord {
    std::uint32_t resource = 0;
    std::uint32_t bytes = 0;
};

struct HostMemoryRecord {
    std::uint32_t handle = 0;
    std::uint32_t length = 0;
    std::span<const std::uint8_t> data;  // a write's n bytes
};

class RequestDecoder {
public:
    using Bytes = std::span<const std::uint8_t>;

    static std::uint32_t Async(Bytes in, std::uint32_t outSize, bool write, AsyncRecord& out);
    // An asynchronous write's record, to node 63 of the local bus.
    static std::uint32_t BroadcastWrite(Bytes in, std::uint32_t outSize, AsyncRecord& out);
    // Node address and maximum speed: the flag at offset 0 (1 host adapter, 0 the unit's node).
    static std::uint32_t NodeAddress(Bytes in, std::uint32_t outSize, bool& host);
    static std::uint32_t MaxSpeed(Bytes in, std::uint32_t outSize, bool& host);
    static std::uint32_t ConfigInfo(Bytes in, std::uint32_t outSize, ConfigInfoRecord& out);
    static std::uint32_t HostInfo(Bytes in, std::uint32_t outSize);
    static std::uint32_t CycleTimer(Bytes in, std::uint32_t outSize);
    // Bus reset: the word at offset 0 must be 0 (the only kind there is).
    static std::uint32_t BusReset(Bytes in);
    static std::uint32_t Bandwidth(Bytes in, std::uint32_t outSize, std::uint32_t& bytesPerPacket,
                                   std::uint32_t& speed);
    static std::uint32_t Channel(Bytes in, std::uint32_t outSize, std::uint32_t& channel);
    static std::uint32_t Resources(Bytes in, std::uint32_t outSize, ResourceRecord& out);
    static std::uint32_t Attach(Bytes in, AttachRecord& out);
    static std::uint32_t Detach(Bytes in, std::uint32_t& resource, std::uint32_t& count);
    // Listen, talk, stop and the three frees: a handle (or channel) in the first word of a
    // record of recordBytes.
    static std::uint32_t Handle(Bytes in, std::size_t recordBytes, std::uint32_t& handle);
    static std::uint32_t IsochRead(Bytes in, std::uint32_t outSize, IsochReadRecord& out);
    static std::uint32_t HostMemory(Bytes in, std::uint32_t outSize, bool write,
                                    HostMemoryRecord& out);
};

}  // namespace driver
