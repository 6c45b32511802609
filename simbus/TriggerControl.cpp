// How triggers release frames.
#include "simbus/TriggerControl.h"

#include <algorithm>

#include "simbus/IidcRegisterMap.h"

namespace simbus {
namespace {

using namespace iidc;

constexpr unsigned kExternalSource = 0;
constexpr unsigned kPulseMode = 1;
constexpr unsigned kBurstMode = 14;

unsigned Mode(std::uint32_t trigger) { return (trigger & kTriggerMode) >> kTriggerModeShift; }
unsigned Source(std::uint32_t trigger) { return (trigger & kTriggerSource) >> kTriggerSourceShift; }

}  // namespace

bool TriggerControl::On(std::uint32_t trigger) { return trigger & kOn; }

std::string TriggerControl::Refusal(std::uint32_t trigger, unsigned source, bool armed) const {
    if (!On(trigger)) return "the trigger is off";
    if (Source(trigger) != source) return "the trigger listens to another source";
    if (!armed) return "the camera is not set to transmit";
    if (Busy()) return "the last trigger's frames are still going out";
    return {};
}

void TriggerControl::Release(std::uint32_t trigger) {
    m_frames = Mode(trigger) == kBurstMode ? std::max<std::uint32_t>(trigger & kValue, 1) : 1;
}

void TriggerControl::Software(bool set, std::uint32_t trigger, bool armed) {
    if (!set) {
        // The falling edge ends a mode 1 exposure; otherwise releasing means nothing.
        if (m_asserted) {
            m_asserted = false;
            Release(trigger);
        }
        return;
    }
    if (!Refusal(trigger, kSoftwareSource, armed).empty()) return;
    if (Mode(trigger) == kPulseMode) {
        m_asserted = true;
    } else {
        Release(trigger);
    }
}

std::string TriggerControl::External(std::uint32_t trigger, bool armed) {
    std::string why = Refusal(trigger, kExternalSource, armed);
    if (why.empty()) Release(trigger);
    return why;
}

void TriggerControl::FrameSent() {
    if (m_frames > 0) --m_frames;
}

void TriggerControl::Reset() {
    m_asserted = false;
    m_frames = 0;
}

}  // namespace simbus
