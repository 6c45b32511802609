// The simulated camera's register space beyond its ROM: the command block (inquiry, video
// mode, ISO, transmission, memory channels, features), Format 7 mode 0 and the vendor block.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "simbus/CameraModel.h"
#include "simbus/CameraSettings.h"
#include "simbus/Format7Mode.h"
#include "simbus/TriggerControl.h"
#include "simbus/VideoModes.h"

namespace simbus {

class CameraRegisters {
public:
    using Access = CameraModel::Access;
    static constexpr unsigned kMemoryChannels = 2;  // user channels 1 and 2; 0 is the factory's

    explicit CameraRegisters(BayerFilter filter = BayerFilter::None) : m_format7(filter) {}

    Access Read(std::uint64_t address, std::uint32_t& value) const;
    Access Write(std::uint64_t address, std::uint32_t value);

    CameraModel::StreamSetup Stream() const;
    // The programmed mode's shape, or nothing when the camera cannot send it.
    std::optional<StreamShape> Shape() const;
    PictureSettings Picture() const { return m_settings.Picture(); }
    // One frame went out: a one-shot ends, a multi-shot counts down (unless ISO_EN streams), a
    // trigger's frames count down.
    void FrameSent();
    // The last frame's picture had this mean level (0..255; negative: not metered).
    void Metered(double level) { m_settings.AutoExpose(level); }
    // A pulse on the trigger input; why it was ignored, or empty.
    std::string ExternalTrigger();

private:
    Access ReadCommand(std::uint32_t offset, std::uint32_t& value) const;
    Access WriteCommand(std::uint32_t offset, std::uint32_t value);
    Access WriteCommandRegister(std::uint32_t offset, std::uint32_t value);
    bool ReadInquiry(std::uint32_t offset, std::uint32_t& value) const;
    bool LoadSettings(unsigned channel);
    bool ShotsLeft() const { return m_oneShot || m_multiShot > 0; }
    // Set to send frames, the trigger aside.
    bool Armed() const { return m_powered && (m_isoEnabled || ShotsLeft()); }
    std::uint32_t Trigger() const { return m_settings.Feature(iidc::kTriggerFeature); }
    // Drops what triggers released once the trigger is off or the camera stops sending.
    void FollowTrigger();
    bool ReadAbsolute(std::uint32_t offset, std::uint32_t& value) const;
    Access WriteAbsolute(std::uint32_t offset, std::uint32_t value);
    // FRAME_RATE reads the rate of the programmed mode, in fps.
    double FrameRate() const;
    std::uint32_t FrameRateControl() const;

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
    TriggerControl m_trigger;
};

}  // namespace simbus
