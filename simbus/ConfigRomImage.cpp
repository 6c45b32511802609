// Lays out the camera's configuration ROM: bus information block, root directory, unit
// directory, unit dependent directory, and the vendor and model name leaves.
#include "simbus/ConfigRomImage.h"

#include "platform/ByteOrder.h"

namespace simbus {
namespace {

constexpr std::uint32_t kBusName = 0x3133'3934;  // "1394"
// isc, cycle clock accuracy 0xFF, max_rec 8 (512-byte block requests), link speed S400.
constexpr std::uint32_t kBusOptions = 0x20FF'8002;
constexpr std::uint32_t kNodeCapabilities = 0x0C'0083C0;
constexpr std::uint32_t kIidcSpecId = 0x00A02D;
constexpr std::uint32_t kIidcVersion = 0x000102;
constexpr std::size_t kBusInfoBytes = 24;

// A directory or leaf: its entries, each a key byte and a 24-bit value, or raw quadlets.
using Block = std::vector<std::uint32_t>;

std::uint32_t Entry(std::uint32_t key, std::uint32_t value) {
    return key << 24 | (value & 0xFF'FFFF);
}

Block TextLeaf(std::string_view text) {
    Block leaf{0, 0};  // textual descriptor type 0, specifier 0; language 0 (ASCII)
    for (std::size_t i = 0; i < text.size(); i += 4) {
        std::uint32_t quadlet = 0;
        for (std::size_t b = 0; b < 4; ++b) {
            const auto c = i + b < text.size() ? std::uint8_t(text[i + b]) : std::uint8_t{0};
            quadlet |= std::uint32_t{c} << (24 - 8 * b);
        }
        leaf.push_back(quadlet);
    }
    return leaf;
}

std::vector<std::uint8_t> BusBytes(std::span<const std::uint32_t> quadlets) {
    std::vector<std::uint8_t> bytes(quadlets.size() * 4);
    for (std::size_t i = 0; i < quadlets.size(); ++i)
        platform::StoreBE32(&bytes[i * 4], quadlets[i]);
    return bytes;
}

// Appends block behind its length/CRC header; returns the header's quadlet index.
std::size_t Append(std::vector<std::uint32_t>& rom, const Block& block) {
    const std::size_t at = rom.size();
    rom.push_back(std::uint32_t(block.size()) << 16 | ConfigRomImage::Crc16(block));
    rom.insert(rom.end(), block.begin(), block.end());
    return at;
}

}  // namespace

ConfigRomImage::ConfigRomImage(std::uint32_t companyId, std::uint32_t serial,
                               std::uint32_t commandBaseQuadlets, std::string_view vendor,
                               std::string_view model) {
    const Block vendorLeaf = TextLeaf(vendor);
    const Block modelLeaf = TextLeaf(model);
    // Fixed order: bus info (5 quadlets) at 0, root directory at 5, unit directory at 9, unit
    // dependent directory at 13, vendor leaf at 17, model leaf behind it. An entry that points
    // further holds the quadlet distance from itself to the target's header.
    constexpr std::size_t root = 5, unit = 9, dependent = 13, vendorAt = 17;
    const std::size_t modelAt = vendorAt + 1 + vendorLeaf.size();

    Block busInfo{kBusName, kBusOptions, (companyId & 0xFF'FFFF) << 8, serial};
    const Block rootDir{Entry(0x03, companyId), Entry(0x0C, kNodeCapabilities),
                        Entry(0xD1, std::uint32_t(unit - (root + 3)))};
    const Block unitDir{Entry(0x12, kIidcSpecId), Entry(0x13, kIidcVersion),
                        Entry(0xD4, std::uint32_t(dependent - (unit + 3)))};
    const Block dependentDir{Entry(0x40, commandBaseQuadlets),
                             Entry(0x81, std::uint32_t(vendorAt - (dependent + 2))),
                             Entry(0x82, std::uint32_t(modelAt - (dependent + 3)))};

    // Bus information block header: info length 4, CRC over those 4 quadlets.
    m_quadlets.push_back(4u << 24 | 4u << 16 | Crc16(busInfo));
    m_quadlets.insert(m_quadlets.end(), busInfo.begin(), busInfo.end());
    Append(m_quadlets, rootDir);
    Append(m_quadlets, unitDir);
    Append(m_quadlets, dependentDir);
    Append(m_quadlets, vendorLeaf);
    Append(m_quadlets, modelLeaf);

    const std::vector<std::uint8_t> all = BusBytes(m_quadlets);
    m_pieces.busInfo.assign(all.begin(), all.begin() + kBusInfoBytes);
    m_pieces.unitDirectory = BusBytes(unitDir);
    m_pieces.unitDependentDirectory = BusBytes(dependentDir);
    m_pieces.vendorLeaf = BusBytes(vendorLeaf);
    m_pieces.modelLeaf = BusBytes(modelLeaf);
}

bool ConfigRomImage::Read(std::uint64_t offset, std::uint32_t& value) const {
    if (offset % 4 != 0 || offset / 4 >= m_quadlets.size()) return false;
    value = m_quadlets[offset / 4];
    return true;
}

std::uint16_t ConfigRomImage::Crc16(std::span<const std::uint32_t> quadlets) {
    std::uint32_t crc = 0;
    for (const std::uint32_t data : quadlets) {
        for (int shift = 28; shift >= 0; shift -= 4) {
            const std::uint32_t sum = ((crc >> 12) ^ (data >> shift)) & 0xF;
            crc = (crc << 4) ^ (sum << 12) ^ (sum << 5) ^ sum;
        }
        crc &= 0xFFFF;
    }
    return std::uint16_t(crc);
}

}  // namespace simbus
