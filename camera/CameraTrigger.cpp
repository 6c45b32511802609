// Trigger inquiry, TRIGGER_MODE and SOFTWARE_TRIGGER.
#include "camera/CameraTrigger.h"

#include "camera/IidcRegisters.h"

using namespace camera::iidc;

bool CameraTrigger::Inquire(Offer& offer) {
    offer = Offer{};
    DWORD inquiry = 0;
    if (!m_cam.ReadRegister(m_nCamera, ControlOffset(kTriggerFeature) - kInquiryBelowControl,
                            &inquiry))
        return false;
    offer.present = inquiry & kBit31;
    offer.onOff = inquiry & kOnOffInq;
    offer.polarity = inquiry & kTriggerPolarityInq;
    offer.software = inquiry & kSoftwareTriggerInq;
    for (unsigned mode = 0; mode < 16; ++mode) {
        if (inquiry & (kTriggerMode0Inq >> mode)) offer.modes |= std::uint16_t(1u << mode);
    }
    for (unsigned source = 0; source < 4; ++source) {
        if (inquiry & (kTriggerSource0Inq >> source)) offer.sources |= std::uint8_t(1u << source);
    }
    return true;
}

bool CameraTrigger::Read(Setting& setting) {
    DWORD control = 0;
    if (!m_cam.ReadFeature(m_nCamera, kTriggerFeature, &control)) return false;
    setting.on = control & kOn;
    setting.polarity = control & kTriggerPolarity;
    setting.source = (control & kTriggerSource) >> kTriggerSourceShift;
    setting.mode = (control & kTriggerMode) >> kTriggerModeShift;
    setting.parameter = control & kValue;
    return true;
}

bool CameraTrigger::Write(const Setting& setting) {
    if (setting.mode > 15 || (setting.source > 3 && setting.source != kSoftwareSource) ||
        setting.parameter > kValue)
        return false;
    const DWORD control = kBit31 | (setting.on ? kOn : 0) |
                          (setting.polarity ? kTriggerPolarity : 0) |
                          DWORD(setting.source) << kTriggerSourceShift |
                          DWORD(setting.mode) << kTriggerModeShift | setting.parameter;
    return m_cam.WriteFeature(m_nCamera, kTriggerFeature, &control);
}

bool CameraTrigger::Fire() {
    Setting setting;
    if (!Read(setting)) return false;
    const DWORD assert = kBit31;
    const DWORD release = 0;
    if (!m_cam.WriteRegister(m_nCamera, kSoftwareTrigger, &assert)) return false;
    return setting.mode != 1 || m_cam.WriteRegister(m_nCamera, kSoftwareTrigger, &release);
}

bool CameraTrigger::Busy(bool& busy) {
    DWORD value = 0;
    if (!m_cam.ReadRegister(m_nCamera, kSoftwareTrigger, &value)) return false;
    busy = value & kBit31;
    return true;
}
