// Reading one feature with its typed value.
#include "session/Feature.h"

#include "camera/CameraFeatures.h"
#include "camera/IidcRegisters.h"

namespace kestrix::session {

const char* ModeName(Feature::Mode mode) {
    switch (mode) {
        case Feature::Mode::Auto:
            return "auto";
        case Feature::Mode::OnePush:
            return "one-push";
        case Feature::Mode::Off:
            return "off";
        case Feature::Mode::Manual:
            break;
    }
    return "manual";
}

std::optional<Feature> Feature::Read(C1394Dcam& cam, int camera, int number, bool& ok) {
    ok = true;
    const char* name = CameraFeatures::FeatureName(number);
    FeatureAccess access(cam, camera);
    FeatureAccess::Offer offer;
    if (name == nullptr || !access.Inquire(number, offer)) {
        ok = name != nullptr ? false : ok;
        return std::nullopt;
    }
    if (!offer.present) return std::nullopt;
    FeatureAccess::State state;
    if (!access.Read(number, state)) {
        ok = false;
        return std::nullopt;
    }
    Feature f;
    f.name = name;
    f.number = number;
    f.value = state.value;
    f.high = state.high;
    if (state.absolute) f.absolute = *state.absolute;
    if (offer.absolute) {
        f.unit = offer.unit;
        f.absoluteMin = offer.absoluteMin;
        f.absoluteMax = offer.absoluteMax;
    }
    f.min = offer.rawMin;
    f.max = offer.rawMax;
    f.onePush = offer.onePush;
    f.automatic = offer.automatic;
    f.onOff = offer.onOff;
    f.mode = offer.onOff && !state.on                      ? Mode::Off
             : state.automatic                             ? Mode::Auto
             : (state.control & camera::iidc::kOnePush) != 0 ? Mode::OnePush
                                                           : Mode::Manual;
    f.text = CameraFeatures::Format(number, offer.inquiry, state);
    return f;
}

}  // namespace kestrix::session
