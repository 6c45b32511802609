// Reading, checking and writing the standard feature registers for --get and --set.
#include "camera/CameraFeatures.h"

#include <array>
#include <charconv>
#include <optional>

#include "camera/FeatureAccess.h"
#include "camera/FeatureUnits.h"
#include "camera/IidcRegisters.h"

using namespace camera::iidc;

namespace {

using DWORD = C1394Dcam::DWORD;

// Index = feature number (control register 0x800 + 4n, then 0x880 + 4(n - 13)); frame rate
// (0x83C) last.
constexpr std::array<const char*, FeatureAccess::kFeatureCount> kNames{
    "brightness", "auto-exposure",  "sharpness", "white-balance", "hue",
    "saturation", "gamma",          "shutter",   "gain",          "iris",
    "focus",      "temperature",    "trigger",   "zoom",          "pan",
    "tilt",       "optical-filter", "frame-rate"};
constexpr int kWhiteBalance = 3;
constexpr int kTrigger = kTriggerFeature;
constexpr DWORD kPresent = kBit31;
constexpr unsigned kMaxValue = kValue;
constexpr unsigned kMaxTriggerMode = 15;

int FeatureOf(std::string_view name) {
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        if (name == kNames[i]) return int(i);
    }
    return -1;
}

std::optional<unsigned> Number(std::string_view text, unsigned max) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value > max) return {};
    return value;
}

}  // namespace

// One --set, parsed.
struct CameraFeatures::Request {
    enum class Kind { Value, Absolute, Auto, Off, On, OnePush };
    int feature = -1;
    Kind kind = Kind::Value;
    unsigned high = 0;    // white balance U/B
    unsigned value = 0;   // the value, V/R, or the trigger mode
    double absolute = 0;  // in the feature's unit
    std::string text;     // the setting as given

    // The request of setting; error set when it cannot be meant.
    static std::optional<Request> Parse(std::string_view setting, std::string& error);
};

std::optional<CameraFeatures::Request> CameraFeatures::Request::Parse(std::string_view setting,
                                                                      std::string& error) {
    const std::size_t equals = setting.find('=');
    Request r;
    r.text = std::string(setting);
    r.feature = FeatureOf(setting.substr(0, equals));
    if (equals == std::string_view::npos || r.feature < 0) {
        error = "FEATURE=VALUE, FEATURE " + NameHint();
        return {};
    }
    std::string_view value = setting.substr(equals + 1);
    // What --get prints beside the raw value ("2048 (33.33 ms)") is a note: the raw value rules.
    if (const std::size_t note = value.find(" (");
        note != std::string_view::npos && value.back() == ')')
        value = value.substr(0, note);
    if (value == "auto") r.kind = Kind::Auto;
    if (value == "off") r.kind = Kind::Off;
    if (value == "on") r.kind = Kind::On;
    if (value == "one-push") r.kind = Kind::OnePush;
    if (r.feature == kTrigger && (r.kind == Kind::Auto || r.kind == Kind::OnePush)) {
        error = "trigger takes a mode 0..15, on or off";
        return {};
    }
    if (r.kind != Kind::Value) return r;
    if (const auto units = FeatureUnits::Parse(r.feature, value)) {
        r.kind = Kind::Absolute;
        r.absolute = *units;
        return r;
    }
    const std::string accepted = FeatureUnits::Accepted(r.feature);
    const std::string inUnits = accepted.empty() ? "" : ", a value in " + accepted;
    if (r.feature == kWhiteBalance) {
        const std::size_t comma = value.find(',');
        const auto u = Number(value.substr(0, comma), kMaxValue);
        const auto v = comma == std::string_view::npos ? std::nullopt
                                                       : Number(value.substr(comma + 1), kMaxValue);
        if (!u || !v) {
            error = "white-balance takes U,V (two numbers 0..4095)" + inUnits +
                    ", auto, off, on or one-push";
            return {};
        }
        r.high = *u;
        r.value = *v;
        return r;
    }
    const unsigned max = r.feature == kTrigger ? kMaxTriggerMode : kMaxValue;
    const auto n = Number(value, max);
    if (!n) {
        error = r.feature == kTrigger
                    ? "trigger takes a mode 0..15, on or off"
                    : "a number 0..4095" + inUnits + ", auto, off, on or one-push";
        return {};
    }
    r.value = *n;
    return r;
}

bool CameraFeatures::IsName(std::string_view name) { return FeatureOf(name) >= 0; }

int CameraFeatures::FeatureNumber(std::string_view name) { return FeatureOf(name); }

const char* CameraFeatures::FeatureName(int feature) {
    return feature >= 0 && feature < int(kNames.size()) ? kNames[std::size_t(feature)] : nullptr;
}

std::string CameraFeatures::NameHint() {
    std::string hint = "one of";
    for (const char* name : kNames) hint += std::string(" ") + name;
    return hint;
}

std::string CameraFeatures::CheckSetting(std::string_view setting) {
    std::string error;
    return Request::Parse(setting, error) ? std::string() : error;
}

CameraFeatures::Outcome CameraFeatures::Inquiry(int feature, FeatureAccess::Offer& offer) {
    if (!FeatureAccess(m_cam, m_nCamera).Inquire(feature, offer)) {
        return {Status::Failed, std::string("reading what the camera offers for ") +
                                    kNames[std::size_t(feature)] + " failed"};
    }
    if (!offer.present) {
        return {Status::Refused, std::string("the camera has no ") + kNames[std::size_t(feature)]};
    }
    return {};
}

CameraFeatures::Outcome CameraFeatures::Get(std::string_view nameOrAll, Values& values) {
    if (nameOrAll != "all") return ReadOne(FeatureOf(nameOrAll), false, values);
    for (int feature = 0; feature < int(kNames.size()); ++feature) {
        if (Outcome outcome = ReadOne(feature, true, values); outcome.status != Status::Ok) {
            return outcome;
        }
    }
    return {};
}

CameraFeatures::Outcome CameraFeatures::ReadOne(int feature, bool skipAbsent, Values& values) {
    FeatureAccess::Offer offer;
    Outcome outcome = Inquiry(feature, offer);
    if (outcome.status == Status::Refused && skipAbsent) return {};
    if (outcome.status != Status::Ok) return outcome;
    FeatureAccess::State state;
    if (!FeatureAccess(m_cam, m_nCamera).Read(feature, state)) {
        return {Status::Failed, std::string("reading ") + kNames[std::size_t(feature)] + " failed"};
    }
    values.emplace_back(kNames[std::size_t(feature)], Format(feature, offer.inquiry, state));
    return {};
}

std::string CameraFeatures::Format(int feature, DWORD inquiry, const FeatureAccess::State& state) {
    std::string text = Format(feature, inquiry, state.control);
    if (state.absolute && text != "off")
        text += " (" + FeatureUnits::Format(feature, *state.absolute) + ")";
    return text;
}

std::string CameraFeatures::Format(int feature, DWORD inquiry, DWORD control) {
    if (feature == kTrigger) {
        return (control & kOn) ? std::to_string((control & kTriggerMode) >> kTriggerModeShift)
                               : "off";
    }
    if ((inquiry & kOnOffInq) && !(control & kOn)) return "off";
    if (control & kAuto) return "auto";
    const std::string value = std::to_string(control & kValue);
    if (feature != kWhiteBalance) return value;
    return std::to_string((control & kHighValue) >> 12) + "," + value;
}

CameraFeatures::Outcome CameraFeatures::Set(std::string_view setting) {
    std::string error;
    const auto request = Request::Parse(setting, error);
    if (!request) return {Status::Refused, "bad setting '" + std::string(setting) + "'"};
    const int feature = request->feature;
    const std::string name = kNames[std::size_t(feature)];
    FeatureAccess access(m_cam, m_nCamera);
    FeatureAccess::Offer offer;
    FeatureAccess::State current;
    if (Outcome outcome = Inquiry(feature, offer); outcome.status != Status::Ok) return outcome;
    if (request->kind == Request::Kind::Absolute) return SetAbsolute(*request, offer);
    if (!access.Read(feature, current)) return {Status::Failed, "reading " + name + " failed"};
    // A feature the camera only reports takes the value it has, so that --get's lines set a
    // camera back whole.
    if (!offer.manual && !offer.onOff && request->kind == Request::Kind::Value &&
        feature != kTrigger && request->value == current.value && current.on)
        return {};
    DWORD wanted = 0;
    if (Outcome outcome = Compose(*request, offer.inquiry, current.control, wanted);
        outcome.status != Status::Ok) {
        return outcome;
    }
    if (!access.WriteControl(feature, wanted)) {
        return {Status::Failed, "writing " + request->text + " failed (the register write failed)"};
    }
    FeatureAccess::State state;
    if (!access.Read(feature, state)) return {Status::Failed, "reading " + name + " back failed"};
    const DWORD now = state.control;
    const DWORD inquiry = offer.inquiry;
    // One-push clears itself once done; every other field must read back as written.
    const DWORD checked =
        (feature == kTrigger ? kOn | kTriggerMode : kOn | kAuto | kHighValue | kValue) &
        (request->kind == Request::Kind::OnePush ? kOn : ~DWORD{0});
    if ((now & checked) != (wanted & checked)) {
        return {Status::Refused, "the camera did not take " + request->text + " (it reads " + name +
                                     "=" + Format(feature, inquiry, now) + ")"};
    }
    return {};
}

CameraFeatures::Outcome CameraFeatures::Compose(const Request& r, DWORD inquiry, DWORD current,
                                                DWORD& wanted) const {
    const std::string name = kNames[std::size_t(r.feature)];
    const auto refuse = [&](const std::string& why) { return Outcome{Status::Refused, why}; };
    using Kind = Request::Kind;
    if ((r.kind == Kind::Off || r.kind == Kind::On) && !(inquiry & kOnOffInq)) {
        return refuse(name + " cannot be switched on or off on this camera");
    }
    switch (r.kind) {
        case Kind::Off:
            wanted = current & ~(kOn | kOnePush);
            return {};
        case Kind::On:
            wanted = (current | kOn) & ~kOnePush;
            return {};
        case Kind::Auto:
            if (!(inquiry & kAutoInq))
                return refuse(name + " has no automatic mode on this camera");
            wanted = (current | kOn | kAuto) & ~kOnePush;
            return {};
        case Kind::OnePush:
            if (!(inquiry & kOnePushInq)) return refuse(name + " has no one-push on this camera");
            wanted = (current | kOn | kOnePush) & ~kAuto;
            return {};
        case Kind::Value:
        case Kind::Absolute:
            break;
    }
    if (r.feature == kTrigger) {
        if (!(inquiry & (kTriggerMode0Inq >> r.value))) {
            return refuse("the camera has no trigger mode " + std::to_string(r.value));
        }
        wanted = (current & ~kTriggerMode) | kOn | DWORD(r.value) << kTriggerModeShift;
        return {};
    }
    if (!(inquiry & kManualInq)) return refuse(name + " cannot be set by hand on this camera");
    const unsigned low = (inquiry & kHighValue) >> 12;
    const unsigned high = inquiry & kValue;
    const bool pair = r.feature == kWhiteBalance;
    if (r.value < low || r.value > high || (pair && (r.high < low || r.high > high))) {
        return refuse(r.text + " is out of the camera's range " + std::to_string(low) + ".." +
                      std::to_string(high));
    }
    // A raw value takes the feature out of absolute control, where the camera would ignore it.
    wanted = (current & ~(kAbsoluteControl | kAuto | kOnePush | kHighValue | kValue)) | kOn |
             DWORD(r.value) | (pair ? DWORD(r.high) << 12 : (current & kHighValue));
    return {};
}

CameraFeatures::Outcome CameraFeatures::SetAbsolute(const Request& r,
                                                    const FeatureAccess::Offer& offer) {
    const std::string name = kNames[std::size_t(r.feature)];
    const auto refuse = [](const std::string& why) { return Outcome{Status::Refused, why}; };
    if (!offer.absolute) {
        return refuse(name + " takes no value in " + FeatureUnits::Unit(r.feature) +
                      " on this camera: give a number " + std::to_string(offer.rawMin) + ".." +
                      std::to_string(offer.rawMax));
    }
    if (!offer.manual) return refuse(name + " cannot be set by hand on this camera");
    const auto value = float(r.absolute);
    if (!(value >= offer.absoluteMin && value <= offer.absoluteMax)) {
        return refuse(r.text + " is out of the camera's range " +
                      FeatureUnits::Format(r.feature, offer.absoluteMin) + " to " +
                      FeatureUnits::Format(r.feature, offer.absoluteMax));
    }
    FeatureAccess access(m_cam, m_nCamera);
    if (!access.WriteAbsolute(r.feature, value)) {
        return {Status::Failed, "writing " + r.text + " failed (the register write failed)"};
    }
    FeatureAccess::State state;
    if (!access.Read(r.feature, state)) return {Status::Failed, "reading " + name + " back failed"};
    if (!state.on || state.automatic || !state.absoluteControl || !state.absolute) {
        return refuse("the camera did not take " + r.text + " (it reads " + name + "=" +
                      Format(r.feature, offer.inquiry, state) + ")");
    }
    return {};
}
