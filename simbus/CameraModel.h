// A simulated IIDC camera as a pure register model: configuration ROM, command, inquiry,
// feature, Format 7 and vendor registers, and the test picture. It knows nothing of sockets or
// time; the bus (BusServer) serves it over the driver protocol and paces its stream. Not
// thread-safe: its owner serialises access.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "simbus/VideoModes.h"

namespace simbus {

class ConfigRomImage;
class CameraRegisters;
class TestPicture;

class CameraModel {
public:
    // Register access results, as the bus reports them to the requester. ReadOnly also answers
    // a write of a value the register cannot take (a memory channel the camera lacks), so the
    // requester learns that nothing changed.
    enum class Access { Ok, Unmapped, ReadOnly };

    // Pieces of the configuration ROM that the configuration-information request returns,
    // each in bus (big-endian) byte order. busInfo is the ROM's first 24 bytes (bus information
    // block and root directory header); the directories and leaves are their entries without
    // the length/CRC header quadlet, so the unit directory's second quadlet is the software
    // version and the unit dependent directory's first is key 0x40 with the command base.
    struct ConfigRom {
        std::vector<std::uint8_t> busInfo;  // 24 bytes; bytes 12-14 the company id
        std::vector<std::uint8_t> unitDirectory;
        std::vector<std::uint8_t> unitDependentDirectory;
        std::vector<std::uint8_t> vendorLeaf;
        std::vector<std::uint8_t> modelLeaf;
    };

    // What the camera transmits now. A mode, rate or Format 7 setting the camera does not offer
    // can be written, but then the camera sends nothing: transmitting is false and the sizes
    // are 0 (VMODE_ERROR_STATUS at command base + 0x628 reads 0x80000000).
    struct StreamSetup {
        bool transmitting = false;  // ISO_EN set, or shots left
        unsigned channel = 0;
        unsigned speedCode = 4;  // 1, 2, 4 for S100, S200, S400
        std::uint32_t bytesPerPacket = 0;
        std::uint32_t packetsPerFrame = 0;  // every packet is bytesPerPacket long: when the
                                            // frame does not divide, zeros pad the last one
        std::uint32_t frameBytes = 0;
        std::uint32_t cyclesPerFrame = 0;  // 125-microsecond cycles between frame starts,
                                           // rounded to the nearest cycle
        // The exact period, cyclesPerFrameNum / cyclesPerFrameDen cycles (1.875 fps: 12800 / 3;
        // Format 7: packets per frame / 1). Pace with FrameStartCycle so rounding never drifts.
        std::uint32_t cyclesPerFrameNum = 0;
        std::uint32_t cyclesPerFrameDen = 1;
        unsigned width = 0;
        unsigned height = 0;
        unsigned colorCoding = 7;  // IIDC id: 0 mono 8, 2 YUV 4:2:2, 4 RGB 8, ...

        // Cycle at which frame n starts, counted from frame 0's start: floor(n x num / den).
        std::uint64_t FrameStartCycle(std::uint64_t frame) const {
            return cyclesPerFrameDen == 0 ? 0 : frame * cyclesPerFrameNum / cyclesPerFrameDen;
        }
    };

    // Kx1360: the maker's camera, with its vendor registers. Generic: a camera that has only the
    // standard IIDC registers, fewer modes and features, and another vendor's name.
    enum class Kind { Kx1360, Generic };
    // The kind named "kx1360" or "generic", or nothing.
    static std::optional<Kind> KindNamed(std::string_view name);

    // serial is the camera's unique id in its configuration ROM (chip id); filter: the colour
    // filter of its sensor (none: a monochrome sensor).
    explicit CameraModel(std::uint32_t serial, Kind kind = Kind::Kx1360,
                         BayerFilter filter = BayerFilter::None);
    ~CameraModel();
    CameraModel(CameraModel&&) noexcept;
    CameraModel& operator=(CameraModel&&) noexcept;

    const ConfigRom& Rom() const;
    // Quadlet access in host order; address is the 48-bit offset in the node's space
    // (0xFFFF'F000'0000 is the CSR base). The ROM reads at 0xFFFF'F000'0400; the command base
    // is 0xFFFF'F0F0'0000.
    Access Read(std::uint64_t address, std::uint32_t& value) const;
    Access Write(std::uint64_t address, std::uint32_t value);

    StreamSetup Stream() const;
    // Renders the next frame of the programmed mode into frame (frameBytes long; a shorter span
    // gets what fits, a longer one keeps its tail), stamping the counter big-endian into its
    // first 4 bytes, and counts down one-shot and multi-shot: call Stream() afterwards to learn
    // whether another frame follows.
    void RenderFrame(std::span<std::uint8_t> frame, std::uint32_t counter);
    // A pulse on the camera's trigger input; why it was ignored, or empty when it was taken.
    // Call Stream() afterwards: the frames it releases follow.
    std::string ExternalTrigger();

private:
    // CUR_V_FORMAT and CUR_V_MODE as the registers hold them.
    void CurrentMode(unsigned& format, unsigned& mode) const;

    Kind m_kind;
    std::unique_ptr<ConfigRomImage> m_rom;
    std::unique_ptr<CameraRegisters> m_registers;
    std::unique_ptr<TestPicture> m_picture;
};

}  // namespace simbus
