// Nodes of the simulated bus and the small configuration ROM of those that are not cameras.
#include "simbus/Node.h"

#include "driver/RequestCodes.h"
#include "platform/ByteOrder.h"

namespace simbus {

using namespace driver;
namespace {

constexpr std::uint64_t kRomAddress = 0xFFFF'F000'0400;
constexpr std::uint64_t kRomSpaceEnd = 0xFFFF'F000'0800;
constexpr std::uint32_t kCompanyId = 0x00C0DE;
constexpr std::uint32_t kSpecId = 0x00A02D;
constexpr std::uint32_t kFirstSerial = 0x0001'0000;

std::vector<std::uint8_t> Quadlets(std::initializer_list<std::uint32_t> values) {
    std::vector<std::uint8_t> bytes(values.size() * 4);
    std::size_t at = 0;
    for (const std::uint32_t value : values) {
        platform::StoreBE32(&bytes[at], value);
        at += 4;
    }
    return bytes;
}

// Bus information block: its header, "1394", bus options, company id and serial, and the root
// directory's header quadlet.
CameraModel::ConfigRom MinimalRom(std::uint32_t serial, std::uint32_t version) {
    CameraModel::ConfigRom rom;
    rom.busInfo =
        Quadlets({0x0404'0000, 0x3133'3934, 0x20FF'8002, kCompanyId << 8, serial, 0x0003'0000});
    if (version != 0) rom.unitDirectory = Quadlets({0x1200'0000 | kSpecId, 0x1300'0000 | version});
    return rom;
}

}  // namespace

Node::Node(Kind kind, UnitId unit, std::uint32_t speed)
    : m_kind(kind), m_unit(unit), m_speed(speed) {}

std::unique_ptr<Node> Node::MakeHostAdapter(std::uint32_t speed) {
    std::unique_ptr<Node> node(new Node(Kind::HostAdapter, 0, speed));
    node->m_rom = MinimalRom(kFirstSerial - 1, 0);
    return node;
}

std::unique_ptr<Node> Node::MakeCamera(UnitId unit, std::uint32_t speed, CameraModel::Kind kind,
                                       BayerFilter filter) {
    std::unique_ptr<Node> node(new Node(Kind::Camera, unit, speed));
    node->m_camera = std::make_unique<CameraModel>(kFirstSerial + unit, kind, filter);
    return node;
}

std::unique_ptr<Node> Node::MakeDevice(UnitId unit, std::uint32_t version) {
    std::unique_ptr<Node> node(new Node(Kind::Device, unit, kSpeed400));
    node->m_rom = MinimalRom(kFirstSerial + unit, version);
    return node;
}

const CameraModel::ConfigRom& Node::Rom() const { return m_camera ? m_camera->Rom() : m_rom; }

CameraModel::Access Node::Read(std::uint64_t address, std::uint32_t& value) const {
    if (m_camera) return m_camera->Read(address, value);
    const std::uint64_t offset = address - kRomAddress;
    if (address < kRomAddress || offset + 4 > m_rom.busInfo.size() || offset % 4 != 0) {
        return CameraModel::Access::Unmapped;
    }
    value = platform::LoadBE32(&m_rom.busInfo[offset]);
    return CameraModel::Access::Ok;
}

CameraModel::Access Node::Write(std::uint64_t address, std::uint32_t value) {
    if (m_camera) return m_camera->Write(address, value);
    const bool rom = address >= kRomAddress && address < kRomSpaceEnd;
    return rom ? CameraModel::Access::ReadOnly : CameraModel::Access::Unmapped;
}

}  // namespace simbus
