// What kestrix-fwd reads from a node's configuration ROM: whether it holds an IIDC camera unit,
// the pieces the configuration-information request hands out, and the names for listings.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace fw {

struct CameraRom {
    std::vector<std::uint8_t> busInfo;  // the ROM's first 24 bytes, bus order
    // Each without its length/CRC header, bus order.
    std::vector<std::uint8_t> unitDirectory;
    std::vector<std::uint8_t> unitDependentDirectory;
    std::vector<std::uint8_t> vendorLeaf;
    std::vector<std::uint8_t> modelLeaf;
    std::uint32_t specId = 0;
    std::uint32_t version = 0;
    std::string vendor;
    std::string model;
    std::uint32_t maxRecordBytes = 512;  // largest block a request may carry, from max_rec
};

class ConfigRom {
public:
    // The camera unit of a ROM given as bus-order bytes; empty when it holds none, or when the
    // ROM is cut short or malformed.
    static std::optional<CameraRom> ParseCamera(std::span<const std::uint8_t> rom);
    static bool IsIidc(std::uint32_t specId, std::uint32_t version);
};

}  // namespace fw
