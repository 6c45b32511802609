// Walking a configuration ROM: bus information block, root directory, unit directories.
#include "fw/ConfigRom.h"

#include "platform/ByteOrder.h"

namespace fw {
namespace {

constexpr std::uint32_t kKeyModelId = 0x17;
constexpr std::uint32_t kKeyTextLeaf = 0x81;
constexpr std::uint32_t kKeyModelTextLeaf = 0x82;
constexpr std::uint32_t kKeySpecId = 0x12;
constexpr std::uint32_t kKeyVersion = 0x13;
constexpr std::uint32_t kKeyUnitDirectory = 0xD1;
constexpr std::uint32_t kKeyDependentDirectory = 0xD4;
constexpr std::size_t kBusInfoBytes = 24;

// The ROM as quadlets, with the blocks its directories point to.
class RomReader {
public:
    explicit RomReader(std::span<const std::uint8_t> rom) : m_rom(rom) {}

    std::size_t Quadlets() const { return m_rom.size() / 4; }
    std::uint32_t At(std::size_t index) const { return platform::LoadBE32(&m_rom[index * 4]); }

    // The block (directory or leaf) whose length/CRC header is at index: the quadlets behind
    // the header; empty when it runs past the ROM.
    std::optional<std::pair<std::size_t, std::size_t>> Block(std::size_t index) const {
        if (index >= Quadlets()) return std::nullopt;
        const std::size_t length = At(index) >> 16;
        if (index + 1 + length > Quadlets()) return std::nullopt;
        return std::make_pair(index + 1, length);
    }
    std::vector<std::uint8_t> Bytes(std::pair<std::size_t, std::size_t> block) const {
        const auto start = m_rom.begin() + std::ptrdiff_t(block.first * 4);
        return {start, start + std::ptrdiff_t(block.second * 4)};
    }
    // Where an entry at index with an offset value points.
    static std::size_t Target(std::size_t index, std::uint32_t entry) {
        return index + (entry & 0xFF'FFFF);
    }

private:
    std::span<const std::uint8_t> m_rom;
};

// The ASCII text of a textual descriptor leaf (two quadlets of type and language first).
std::string LeafText(const std::vector<std::uint8_t>& leaf) {
    std::string text;
    for (std::size_t i = 8; i < leaf.size() && leaf[i] != 0; ++i) {
        const char c = char(leaf[i]);
        text += c >= 0x20 && c < 0x7F ? c : '?';
    }
    return text;
}

struct Leaves {
    std::vector<std::uint8_t> vendor, model;
};

// Text leaves of a directory: a 0x81 entry after the vendor id (or first) names the vendor,
// one after the model id or a 0x82 the model.
Leaves FindLeaves(const RomReader& rom, std::pair<std::size_t, std::size_t> dir) {
    Leaves leaves;
    std::uint32_t previousKey = 0;
    for (std::size_t i = dir.first; i < dir.first + dir.second; ++i) {
        const std::uint32_t entry = rom.At(i);
        const std::uint32_t key = entry >> 24;
        if (key == kKeyTextLeaf || key == kKeyModelTextLeaf) {
            const auto leaf = rom.Block(RomReader::Target(i, entry));
            const bool model = key == kKeyModelTextLeaf || previousKey == kKeyModelId;
            if (leaf) (model ? leaves.model : leaves.vendor) = rom.Bytes(*leaf);
        }
        previousKey = key;
    }
    return leaves;
}

}  // namespace

bool ConfigRom::IsIidc(std::uint32_t specId, std::uint32_t version) {
    // The 1394 Trade Association's id, and the one some camera makers put in its place.
    const bool spec = specId == 0x00A02D || specId == 0x00B09D;
    // IIDC 1.04, 1.20, 1.30/1.31, and 1.32.
    const bool known = (version >= 0x000100 && version <= 0x000102) || version == 0x000114;
    return spec && known;
}

std::optional<CameraRom> ConfigRom::ParseCamera(std::span<const std::uint8_t> bytes) {
    const RomReader rom(bytes.first(bytes.size() / 4 * 4));
    if (rom.Quadlets() < 6) return std::nullopt;
    const std::size_t infoLength = rom.At(0) >> 24;
    const auto root = rom.Block(1 + infoLength);
    if (infoLength < 4 || !root) return std::nullopt;
    for (std::size_t i = root->first; i < root->first + root->second; ++i) {
        if (rom.At(i) >> 24 != kKeyUnitDirectory) continue;
        const auto unit = rom.Block(RomReader::Target(i, rom.At(i)));
        if (!unit) continue;
        CameraRom camera;
        std::optional<std::pair<std::size_t, std::size_t>> dependent;
        for (std::size_t u = unit->first; u < unit->first + unit->second; ++u) {
            const std::uint32_t entry = rom.At(u);
            if (entry >> 24 == kKeySpecId) camera.specId = entry & 0xFF'FFFF;
            if (entry >> 24 == kKeyVersion) camera.version = entry & 0xFF'FFFF;
            if (entry >> 24 == kKeyDependentDirectory)
                dependent = rom.Block(RomReader::Target(u, entry));
        }
        if (!IsIidc(camera.specId, camera.version) || !dependent) continue;
        camera.busInfo = rom.Bytes({0, kBusInfoBytes / 4});
        camera.unitDirectory = rom.Bytes(*unit);
        camera.unitDependentDirectory = rom.Bytes(*dependent);
        // The names sit in the unit dependent directory, or in the root directory.
        Leaves leaves = FindLeaves(rom, *dependent);
        const Leaves rootLeaves = FindLeaves(rom, *root);
        if (leaves.vendor.empty()) leaves.vendor = rootLeaves.vendor;
        if (leaves.model.empty()) leaves.model = rootLeaves.model;
        camera.vendorLeaf = std::move(leaves.vendor);
        camera.modelLeaf = std::move(leaves.model);
        camera.vendor = LeafText(camera.vendorLeaf);
        camera.model = LeafText(camera.modelLeaf);
        // max_rec: a block request carries at most 2^(max_rec + 1) bytes.
        const std::uint32_t maxRec = (rom.At(2) >> 12) & 0xF;
        if (maxRec >= 1 && maxRec <= 13) camera.maxRecordBytes = 1u << (maxRec + 1);
        return camera;
    }
    return std::nullopt;
}

}  // namespace fw
