// The simulated camera's register space beyond its ROM: the command block (inquiry, video
// mode, ISO, transmission, memory channels, features), Format 7 mode 0 and the vendor block.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "simbus/CameraModel.h"
#include "simbus/CameraSettings.h"
#include "simbus/Format7Mode.h"
#include "simbus/VideoModes.h"

namespace simbus {

class CameraRegisters {
public:
    using Access = CameraModel::Access;
    static constexpr unsigned kMemoryChannels = 2;  // user channels 1 and 2; 0 is the factory's

    Access Read(std::uint64_t address, std::uint32_t& value) const;
    Access Write(std::uint64_t address, std::uint32_t value);

    CameraModel::StreamSetup Stream() const;
    // The programmed mode's shape, or nothing when the camera cannot send it.
    std::optional<StreamShape> Shape() const;
    PictureSettings Picture() const { return m_settings.Picture(); }
    // One frame went out: a one-shot ends, a multi-shot counts down (unless ISO_EN streams).
    void FrameSent();

private:
    Access ReadCommand(std::uint32_t offset, std::uint32_t& value) const;
    Access WriteCommand(std::uint32_t offset, std::uint32_t value);
    bool ReadInquiry(std::uint32_t offset, std::uint32_t& value) const;
    bool LoadSettings(unsigned channel);
    bool ShotsLeft() const { return m_oneShot || m_multiShot > 0; }

    // INITIALIZE and the memory channels cover the picture settings only: the video mode, ISO
    // and transmission belong to whoever streams, so a running capture keeps its frame size.
    CameraSettings m_settings;
    std::array<CameraSettings, kMemoryChannels + 1> m_memory;  // [0]: factory, read-only
    Format7Mode m_format7;
    unsigned m_format = 0;  // 640 x 480 YUV 4:2:2 at 15 fps
    unsigned m_mode = 3;
    unsigned m_rate = 3;
    unsigned m_isoChannel = 0;
    unsigned m_isoSpeed = 2;  // S400
    bool m_powered = true;
    bool m_isoEnabled = false;
    bool m_oneShot = false;
    std::uint16_t m_multiShot = 0;  // frames left
    unsigned m_memSaveChannel = 1;
    unsigned m_curMemChannel = 0;
};

}  // namespace simbus
