// A simulated IIDC camera as a pure register model: configuration ROM, command, inquiry,
// feature, Format 7 and vendor registers, and the test picture. It knows nothing of sockets or
// time; the bus (BusServer) serves it over the driver protocol and paces its stream. Not
// thread-safe: its owner serialises access.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace simbus {

class CameraModel {
public:
    // Register access results, as the bus reports them to the requester.
    enum class Access { Ok, Unmapped, ReadOnly };

    // Pieces of the configuration ROM that the configuration-information request returns,
    // each in bus (big-endian) byte order.
    struct ConfigRom {
        std::vector<std::uint8_t> busInfo;        // 24 bytes; bytes 12-14 the company id
        std::vector<std::uint8_t> unitDirectory;
        std::vector<std::uint8_t> unitDependentDirectory;
        std::vector<std::uint8_t> vendorLeaf;
        std::vector<std::uint8_t> modelLeaf;
    };

    // What the camera transmits now.
    struct StreamSetup {
        bool transmitting = false;          // ISO_EN set, or shots left
        unsigned channel = 0;
        unsigned speedCode = 4;             // 1, 2, 4 for S100, S200, S400
        std::uint32_t bytesPerPacket = 0;
        std::uint32_t packetsPerFrame = 0;
        std::uint32_t frameBytes = 0;
        std::uint32_t cyclesPerFrame = 0;   // 125-microsecond cycles between frame starts
    };

    explicit CameraModel(std::uint32_t serial);

    const ConfigRom& Rom() const;
    // Quadlet access in host order; address is the 48-bit offset in the node's space
    // (0xFFFF'F000'0000 is the CSR base).
    Access Read(std::uint64_t address, std::uint32_t& value) const;
    Access Write(std::uint64_t address, std::uint32_t value);

    StreamSetup Stream() const;
    // Renders the next frame of the programmed mode into frame (frameBytes long), stamping the
    // counter big-endian into its first 4 bytes, and counts down one-shot and multi-shot.
    void RenderFrame(std::span<std::uint8_t> frame, std::uint32_t counter);

private:
    class Registers;
    // Members are the implementer's.
};

}  // namespace simbus
