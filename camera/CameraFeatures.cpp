// Reading, checking and writing the standard feature registers for --get and --set.
#include "camera/CameraFeatures.h"

#include <array>
#include <charconv>
#include <optional>

#include "camera/IidcRegisters.h"

namespace {

using DWORD = C1394Dcam::DWORD;

// Index = feature number (control register 0x800 + 4n, then 0x880 + 4(n - 13)).
constexpr std::array<const char*, C1394Dcam::kMaxFeature + 1> kNames{
    "brightness", "auto-exposure", "sharpness", "white-balance", "hue",           "saturation",
    "gamma",      "shutter",       "gain",      "iris",          "focus",         "temperature",
    "trigger",    "zoom",          "pan",       "tilt",          "optical-filter"};
constexpr int kWhiteBalance = 3;
constexpr int kTrigger = 12;
// Each inquiry register sits this far below its control register.
constexpr DWORD kInquiryBelowControl = 0x300;

// Inquiry bits.
constexpr DWORD kPresent = 0x8000'0000;
constexpr DWORD kOnePushInq = 1u << 28;
constexpr DWORD kOnOffInq = 1u << 26;
constexpr DWORD kAutoInq = 1u << 25;
constexpr DWORD kManualInq = 1u << 24;
constexpr DWORD kTriggerMode0Inq = 0x8000;  // mode N: this bit >> N
// Control bits and fields.
constexpr DWORD kOnePush = 0x0400'0000;
constexpr DWORD kOn = 0x0200'0000;
constexpr DWORD kAuto = 0x0100'0000;
constexpr DWORD kHighValue = 0x00FF'F000;
constexpr DWORD kValue = 0x0000'0FFF;
constexpr DWORD kTriggerMode = 0x000F'0000;
constexpr int kTriggerModeShift = 16;
constexpr unsigned kMaxValue = 0xFFF;
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
    enum class Kind { Value, Auto, Off, On, OnePush };
    int feature = -1;
    Kind kind = Kind::Value;
    unsigned high = 0;   // white balance U/B
    unsigned value = 0;  // the value, V/R, or the trigger mode
    std::string text;    // the setting as given

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
    const std::string_view value = setting.substr(equals + 1);
    if (value == "auto") r.kind = Kind::Auto;
    if (value == "off") r.kind = Kind::Off;
    if (value == "on") r.kind = Kind::On;
    if (value == "one-push") r.kind = Kind::OnePush;
    if (r.feature == kTrigger && (r.kind == Kind::Auto || r.kind == Kind::OnePush)) {
        error = "trigger takes a mode 0..15, on or off";
        return {};
    }
    if (r.kind != Kind::Value) return r;
    if (r.feature == kWhiteBalance) {
        const std::size_t comma = value.find(',');
        const auto u = Number(value.substr(0, comma), kMaxValue);
        const auto v = comma == std::string_view::npos ? std::nullopt
                                                       : Number(value.substr(comma + 1), kMaxValue);
        if (!u || !v) {
            error = "white-balance takes U,V (two numbers 0..4095), auto, off, on or one-push";
            return {};
        }
        r.high = *u;
        r.value = *v;
        return r;
    }
    const unsigned max = r.feature == kTrigger ? kMaxTriggerMode : kMaxValue;
    const auto n = Number(value, max);
    if (!n) {
        error = r.feature == kTrigger ? "trigger takes a mode 0..15, on or off"
                                      : "a number 0..4095, auto, off, on or one-push";
        return {};
    }
    r.value = *n;
    return r;
}

bool CameraFeatures::IsName(std::string_view name) { return FeatureOf(name) >= 0; }

std::string CameraFeatures::NameHint() {
    std::string hint = "one of";
    for (const char* name : kNames) hint += std::string(" ") + name;
    return hint;
}

std::string CameraFeatures::CheckSetting(std::string_view setting) {
    std::string error;
    return Request::Parse(setting, error) ? std::string() : error;
}

CameraFeatures::Outcome CameraFeatures::Inquiry(int feature, DWORD& inquiry) {
    const DWORD offset = camera::iidc::FeatureOffset(feature) - kInquiryBelowControl;
    if (!m_cam.ReadRegister(m_nCamera, offset, &inquiry)) {
        return {Status::Failed, std::string("reading what the camera offers for ") +
                                    kNames[std::size_t(feature)] + " failed"};
    }
    if (!(inquiry & kPresent)) {
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
    DWORD inquiry = 0;
    Outcome outcome = Inquiry(feature, inquiry);
    if (outcome.status == Status::Refused && skipAbsent) return {};
    if (outcome.status != Status::Ok) return outcome;
    DWORD control = 0;
    if (!m_cam.ReadFeature(m_nCamera, feature, &control)) {
        return {Status::Failed, std::string("reading ") + kNames[std::size_t(feature)] + " failed"};
    }
    values.emplace_back(kNames[std::size_t(feature)], Format(feature, inquiry, control));
    return {};
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
    DWORD inquiry = 0;
    DWORD current = 0;
    if (Outcome outcome = Inquiry(feature, inquiry); outcome.status != Status::Ok) return outcome;
    if (!m_cam.ReadFeature(m_nCamera, feature, &current)) {
        return {Status::Failed, "reading " + name + " failed"};
    }
    DWORD wanted = 0;
    if (Outcome outcome = Compose(*request, inquiry, current, wanted);
        outcome.status != Status::Ok) {
        return outcome;
    }
    if (!m_cam.WriteFeature(m_nCamera, feature, &wanted)) {
        return {Status::Failed, "writing " + request->text + " failed (the register write failed)"};
    }
    DWORD now = 0;
    if (!m_cam.ReadFeature(m_nCamera, feature, &now)) {
        return {Status::Failed, "reading " + name + " back failed"};
    }
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
    wanted = (current & ~(kAuto | kOnePush | kHighValue | kValue)) | kOn | DWORD(r.value) |
             (pair ? DWORD(r.high) << 12 : (current & kHighValue));
    return {};
}
