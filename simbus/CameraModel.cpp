// The simulated camera: routes the ROM space to its image and everything else to the
// registers, and renders frames of the programmed mode.
#include "simbus/CameraModel.h"

#include "simbus/CameraRegisters.h"
#include "simbus/ConfigRomImage.h"
#include "simbus/GenericCamera.h"
#include "simbus/IidcRegisterMap.h"
#include "simbus/TestPicture.h"

namespace simbus {
namespace {

// A locally administered company id, so it can never name a real maker.
constexpr std::uint32_t kCompanyId = 0x02CA3E;
constexpr const char* kVendorName = "Tarnwell";
constexpr const char* kModelName = "KX-1360 (simulated)";

// Offset in the ROM image when address lies in the ROM space.
bool InRom(std::uint64_t address, std::uint64_t& offset) {
    if (address < iidc::kConfigRomAddress ||
        address >= iidc::kConfigRomAddress + iidc::kConfigRomSpaceBytes)
        return false;
    offset = address - iidc::kConfigRomAddress;
    return true;
}

}  // namespace

std::optional<CameraModel::Kind> CameraModel::KindNamed(std::string_view name) {
    if (name == "kx1360") return Kind::Kx1360;
    if (name == "generic") return Kind::Generic;
    return std::nullopt;
}

CameraModel::CameraModel(std::uint32_t serial, Kind kind, BayerFilter filter)
    : m_kind(kind),
      m_rom(kind == Kind::Generic
                ? std::make_unique<ConfigRomImage>(generic::kCompanyId, serial,
                                                   iidc::kCommandBaseQuadlets, generic::kVendorName,
                                                   generic::kModelName)
                : std::make_unique<ConfigRomImage>(kCompanyId, serial, iidc::kCommandBaseQuadlets,
                                                   kVendorName, kModelName)),
      m_registers(std::make_unique<CameraRegisters>(filter)),
      m_picture(std::make_unique<TestPicture>()) {}

CameraModel::~CameraModel() = default;
CameraModel::CameraModel(CameraModel&&) noexcept = default;
CameraModel& CameraModel::operator=(CameraModel&&) noexcept = default;

const CameraModel::ConfigRom& CameraModel::Rom() const { return m_rom->Pieces(); }

CameraModel::Access CameraModel::Read(std::uint64_t address, std::uint32_t& value) const {
    std::uint64_t offset = 0;
    if (InRom(address, offset)) return m_rom->Read(offset, value) ? Access::Ok : Access::Unmapped;
    if (m_kind == Kind::Generic && generic::Hides(address)) return Access::Unmapped;
    const Access access = m_registers->Read(address, value);
    if (m_kind == Kind::Generic && access == Access::Ok) {
        unsigned format = 0, mode = 0;
        CurrentMode(format, mode);
        generic::Narrow(address, format, mode, value);
    }
    return access;
}

void CameraModel::CurrentMode(unsigned& format, unsigned& mode) const {
    const std::uint64_t base = iidc::BlockAddress(iidc::kCommandBaseQuadlets);
    std::uint32_t value = 0;
    format = m_registers->Read(base + iidc::kCurVFormat, value) == Access::Ok
                 ? iidc::TopField(value) : 0;
    mode = m_registers->Read(base + iidc::kCurVMode, value) == Access::Ok
               ? iidc::TopField(value) : 0;
}

CameraModel::Access CameraModel::Write(std::uint64_t address, std::uint32_t value) {
    std::uint64_t offset = 0;
    std::uint32_t ignored = 0;
    if (InRom(address, offset))
        return m_rom->Read(offset, ignored) ? Access::ReadOnly : Access::Unmapped;
    if (m_kind == Kind::Generic) {
        if (generic::Hides(address)) return Access::Unmapped;
        // An absent feature's control register takes writes and keeps nothing.
        if (const int feature = generic::FeatureAt(address);
            feature >= 0 && !generic::HasFeature(unsigned(feature)))
            return m_registers->Read(address, ignored);
    }
    return m_registers->Write(address, value);
}

CameraModel::StreamSetup CameraModel::Stream() const {
    StreamSetup setup = m_registers->Stream();
    unsigned format = 0, mode = 0;
    CurrentMode(format, mode);
    if (m_kind == Kind::Generic && !generic::Offers(format, mode)) {
        const StreamSetup silent;
        setup.transmitting = false;
        setup.bytesPerPacket = silent.bytesPerPacket;
        setup.packetsPerFrame = silent.packetsPerFrame;
        setup.frameBytes = silent.frameBytes;
        setup.width = setup.height = 0;
    }
    return setup;
}

void CameraModel::RenderFrame(std::span<std::uint8_t> frame, std::uint32_t counter) {
    if (const auto shape = m_registers->Shape()) {
        m_picture->Render(shape->format, m_registers->Picture(), counter, frame);
        m_registers->Metered(m_picture->MeanLevel());
    }
    m_registers->FrameSent();
}

std::string CameraModel::ExternalTrigger() { return m_registers->ExternalTrigger(); }

}  // namespace simbus
