// The camera's trigger input. While the trigger is on, the camera sends no frame of its own:
// mode 0 exposes one frame per trigger, mode 1 one per pulse (exposing from the rising edge to
// the falling one), mode 14 a burst of as many frames as the trigger's parameter says (at
// least one). A trigger that comes while the last one's frames are still going out, while the
// camera is not set to transmit, or from a source the trigger register does not select is
// ignored, as a real camera ignores it.
#pragma once

#include <cstdint>
#include <string>

namespace simbus {

class TriggerControl {
public:
    // trigger is the TRIGGER_MODE register's value, armed whether the camera would transmit.
    static bool On(std::uint32_t trigger);

    // SOFTWARE_TRIGGER written: set asserts the trigger, clear releases it.
    void Software(bool set, std::uint32_t trigger, bool armed);
    // A whole pulse on the external input (source 0); why it was ignored, or empty.
    std::string External(std::uint32_t trigger, bool armed);

    // A trigger is being exposed or its frames are still to go out (SOFTWARE_TRIGGER reads 1).
    bool Busy() const { return m_asserted || m_frames > 0; }
    bool FrameReady() const { return m_frames > 0; }
    void FrameSent();
    // The trigger was switched off or the transmission stopped: what was pending is dropped.
    void Reset();

private:
    std::string Refusal(std::uint32_t trigger, unsigned source, bool armed) const;
    void Release(std::uint32_t trigger);

    bool m_asserted = false;     // mode 1: the software trigger is held
    std::uint32_t m_frames = 0;  // frames released by triggers, not yet sent
};

}  // namespace simbus
