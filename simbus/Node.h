// A node on the simulated bus: the host adapter, an IIDC camera (served by its CameraModel) or
// a unit that is not a camera. Each node but the host adapter carries the unit a unit socket
// stands for.
#pragma once

#include <cstdint>
#include <memory>

#include "simbus/CameraModel.h"
#include "simbus/IsochStream.h"

namespace simbus {

using UnitId = std::uint32_t;

class Node {
public:
    enum class Kind { HostAdapter, Camera, Device };

    static std::unique_ptr<Node> MakeHostAdapter(std::uint32_t speed);
    static std::unique_ptr<Node> MakeCamera(UnitId unit, std::uint32_t speed,
                                            CameraModel::Kind kind = CameraModel::Kind::Kx1360,
                                            BayerFilter filter = BayerFilter::None);
    // version: the unit directory's software version (0x010001 and 0x014100 are units other
    // programs serve).
    static std::unique_ptr<Node> MakeDevice(UnitId unit, std::uint32_t version);

    Kind GetKind() const { return m_kind; }
    UnitId Unit() const { return m_unit; }
    std::uint32_t Speed() const { return m_speed; }
    unsigned Number() const { return m_number; }
    void SetNumber(unsigned number) { m_number = number; }

    const CameraModel::ConfigRom& Rom() const;
    CameraModel::Access Read(std::uint64_t address, std::uint32_t& value) const;
    CameraModel::Access Write(std::uint64_t address, std::uint32_t value);

    // Null unless the node is a camera.
    CameraModel* Camera() { return m_camera.get(); }
    IsochStream* Stream() { return m_camera ? &m_stream : nullptr; }

private:
    Node(Kind kind, UnitId unit, std::uint32_t speed);

    Kind m_kind;
    UnitId m_unit;
    std::uint32_t m_speed;
    unsigned m_number = 0;
    std::unique_ptr<CameraModel> m_camera;
    IsochStream m_stream;
    CameraModel::ConfigRom m_rom;  // nodes that are not cameras
};

}  // namespace simbus
