// The configuration ROM of a simulated IIDC camera, as whole quadlets and as the pieces the
// configuration-information request hands out.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "simbus/CameraModel.h"

namespace simbus {

class ConfigRomImage {
public:
    // commandBaseQuadlets: the command registers' quadlet offset from 0xFFFF'F000'0000.
    ConfigRomImage(std::uint32_t companyId, std::uint32_t serial, std::uint32_t commandBaseQuadlets,
                   std::string_view vendor, std::string_view model);

    const CameraModel::ConfigRom& Pieces() const { return m_pieces; }
    // Quadlet at byte offset from the ROM's start, host order; false past the ROM's end or
    // between quadlets.
    bool Read(std::uint64_t offset, std::uint32_t& value) const;

    // The CRC-16 of IEEE 1212 over quadlets, as ROM headers carry it.
    static std::uint16_t Crc16(std::span<const std::uint32_t> quadlets);

private:
    std::vector<std::uint32_t> m_quadlets;
    CameraModel::ConfigRom m_pieces;
};

}  // namespace simbus
