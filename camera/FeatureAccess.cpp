// Feature inquiry, control and absolute-value registers.
#include "camera/FeatureAccess.h"

#include <bit>

#include "camera/FeatureUnits.h"
#include "camera/IidcRegisters.h"

using namespace camera::iidc;

namespace {

bool Valid(int feature) { return feature >= 0 && feature < FeatureAccess::kFeatureCount; }

}  // namespace

bool FeatureAccess::ReadControl(int feature, DWORD& control) {
    // Through ReadFeature where it can, so that the camera object sees the trigger's state.
    if (feature <= C1394Dcam::kMaxFeature) return m_cam.ReadFeature(m_nCamera, feature, &control);
    return m_cam.ReadRegister(m_nCamera, ControlOffset(feature), &control);
}

bool FeatureAccess::WriteControl(int feature, DWORD control) {
    if (!Valid(feature)) return false;
    if (feature <= C1394Dcam::kMaxFeature) return m_cam.WriteFeature(m_nCamera, feature, &control);
    return m_cam.WriteRegister(m_nCamera, ControlOffset(feature), &control);
}

bool FeatureAccess::AbsoluteOffset(int feature, DWORD field, DWORD& offset) {
    DWORD quadlets = 0;
    const DWORD csr = ControlOffset(feature) - kAbsoluteCsrBelowControl;
    if (!m_cam.ReadRegister(m_nCamera, csr, &quadlets)) return false;
    // Register offsets count from the command base; the block is named from the register
    // space's start, so the difference wraps like every address does.
    offset = 4 * quadlets + field - m_cam.GetCommandBase(m_nCamera);
    return quadlets != 0;  // 0: the camera has no block for it
}

bool FeatureAccess::ReadFloat(int feature, DWORD field, float& value) {
    DWORD offset = 0;
    DWORD bits = 0;
    if (!AbsoluteOffset(feature, field, offset) || !m_cam.ReadRegister(m_nCamera, offset, &bits))
        return false;
    value = std::bit_cast<float>(bits);
    return true;
}

bool FeatureAccess::Inquire(int feature, Offer& offer) {
    offer = Offer{};
    if (!Valid(feature)) return false;
    DWORD inquiry = 0;
    if (!m_cam.ReadRegister(m_nCamera, ControlOffset(feature) - kInquiryBelowControl, &inquiry))
        return false;
    // A feature exists when the feature list names it and its own inquiry says present.
    const DWORD control = ControlOffset(feature);
    const bool low = control >= FeatureOffset(13);
    DWORD listed = 0;
    if (!m_cam.ReadRegister(m_nCamera, low ? kFeatureLoInq : kFeatureHiInq, &listed)) return false;
    offer.inquiry = inquiry;
    offer.present =
        (listed & InqBit(int(control - FeatureOffset(low ? 13 : 0)) / 4)) && (inquiry & kBit31);
    if (!offer.present) return true;
    offer.manual = inquiry & kManualInq;
    offer.automatic = inquiry & kAutoInq;
    offer.onePush = inquiry & kOnePushInq;
    offer.onOff = inquiry & kOnOffInq;
    offer.readout = inquiry & kReadoutInq;
    offer.rawMin = (inquiry & kHighValue) >> 12;
    offer.rawMax = inquiry & kValue;
    if (!(inquiry & kAbsoluteControl) || feature == kTriggerFeature) return true;
    // A block that names nowhere or cannot be read leaves the raw value, which still works.
    offer.absolute = ReadFloat(feature, kAbsoluteMin, offer.absoluteMin) &&
                     ReadFloat(feature, kAbsoluteMax, offer.absoluteMax);
    if (!offer.absolute) return true;
    offer.unit = FeatureUnits::Unit(feature);
    return true;
}

bool FeatureAccess::Read(int feature, State& state) {
    state = State{};
    if (!Valid(feature) || !ReadControl(feature, state.control)) return false;
    state.on = state.control & kOn;
    state.automatic = state.control & kAuto;
    state.absoluteControl = state.control & kAbsoluteControl;
    state.value = state.control & kValue;
    state.high = (state.control & kHighValue) >> 12;
    DWORD inquiry = 0;
    if (feature == kTriggerFeature ||
        !m_cam.ReadRegister(m_nCamera, ControlOffset(feature) - kInquiryBelowControl, &inquiry))
        return true;
    float value = 0;
    if ((inquiry & kAbsoluteControl) && ReadFloat(feature, kAbsoluteValue, value))
        state.absolute = value;
    return true;
}

bool FeatureAccess::WriteAbsolute(int feature, float value) {
    DWORD control = 0;
    DWORD offset = 0;
    if (!Valid(feature) || !ReadControl(feature, control) ||
        !AbsoluteOffset(feature, kAbsoluteValue, offset))
        return false;
    control = (control | kBit31 | kOn | kAbsoluteControl) & ~(kAuto | kOnePush);
    const DWORD bits = std::bit_cast<DWORD>(value);
    return WriteControl(feature, control) && m_cam.WriteRegister(m_nCamera, offset, &bits);
}
