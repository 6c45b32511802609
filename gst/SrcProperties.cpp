// Installing, setting, reading and checking kestrixsrc's properties.
#include "gst/SrcProperties.h"

#include "camera/C1394Dcam.h"
#include "camera/CameraFeatures.h"
#include "camera/CameraModes.h"
#include "session/CameraPick.h"

namespace {

constexpr int kMinRingSize = 2;
constexpr int kMaxRingSize = 4096;
constexpr int kMaxLendSlots = 1024;

std::string TextOf(const GValue* value) {
    const char* text = g_value_get_string(value);
    return text != nullptr ? text : "";
}

}  // namespace

void SrcProperties::Install(GObjectClass* klass) {
    const auto ready =
        GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY);
    g_object_class_install_property(
        klass, kCamera,
        g_param_spec_int("camera", "Camera",
                         "The camera by index, as kestrix-capture --list numbers them", 0,
                         C1394Dcam::kMaxCameras - 1, 0, ready));
    g_object_class_install_property(
        klass, kGuid,
        g_param_spec_string("guid", "GUID",
                            "The camera by its 64-bit GUID in hex (chooses instead of camera)", "",
                            ready));
    g_object_class_install_property(
        klass, kMode,
        g_param_spec_string("mode", "Mode",
                            "Only this mode, named as kestrix-capture --list names it "
                            "(640x480-mono8, 1360x1024-yuv422); empty: negotiation picks",
                            "", ready));
    g_object_class_install_property(
        klass, kRingSize,
        g_param_spec_int("ring-size", "Ring size",
                         "Frames the capture ring holds while downstream is busy", kMinRingSize,
                         kMaxRingSize, kDefaultRingSize, ready));
    g_object_class_install_property(
        klass, kLendSlots,
        g_param_spec_int("lend-slots", "Lend slots",
                         "Frames handed downstream in place of a copy, at most this many at once "
                         "(the ring keeps as many spare frames); more are copied. 0: copy all",
                         0, kMaxLendSlots, kDefaultLendSlots, ready));
    g_object_class_install_property(
        klass, kFeatures,
        g_param_spec_string("features", "Features",
                            "Feature settings applied at start, as kestrix-capture --set takes "
                            "them, separated by commas: \"shutter=auto,gain=200\"",
                            "", ready));
    g_object_class_install_property(
        klass, kStats,
        g_param_spec_boxed("stats", "Statistics",
                           "frames (pushed), dropped (overwritten in the ring before the copy), "
                           "lost (never reached the ring), short (pushed, though they came "
                           "short), bytes (pushed), lent and copied (of the frames pushed)",
                           GST_TYPE_STRUCTURE,
                           GParamFlags(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)));
}

bool SrcProperties::Set(guint id, const GValue* value) {
    std::scoped_lock lock(m_lock);
    switch (id) {
        case kCamera:
            m_values.camera = g_value_get_int(value);
            return true;
        case kGuid:
            m_values.guid = TextOf(value);
            return true;
        case kMode:
            m_values.mode = TextOf(value);
            return true;
        case kRingSize:
            m_values.ringSize = g_value_get_int(value);
            return true;
        case kFeatures:
            m_values.features = TextOf(value);
            return true;
        case kLendSlots:
            m_values.lendSlots = g_value_get_int(value);
            return true;
        default:
            return false;
    }
}

bool SrcProperties::Get(guint id, GValue* value) const {
    std::scoped_lock lock(m_lock);
    switch (id) {
        case kCamera:
            g_value_set_int(value, m_values.camera);
            return true;
        case kGuid:
            g_value_set_string(value, m_values.guid.c_str());
            return true;
        case kMode:
            g_value_set_string(value, m_values.mode.c_str());
            return true;
        case kRingSize:
            g_value_set_int(value, m_values.ringSize);
            return true;
        case kFeatures:
            g_value_set_string(value, m_values.features.c_str());
            return true;
        case kLendSlots:
            g_value_set_int(value, m_values.lendSlots);
            return true;
        default:
            return false;
    }
}

SrcProperties::Values SrcProperties::Snapshot() const {
    std::scoped_lock lock(m_lock);
    return m_values;
}

std::vector<std::string> SrcProperties::SplitSettings(const std::string& text) {
    std::vector<std::string> settings;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        std::string piece = text.substr(start, end - start);
        if (!piece.empty()) {
            if (piece.find('=') == std::string::npos && !settings.empty()) {
                settings.back() += "," + piece;
            } else {
                settings.push_back(std::move(piece));
            }
        }
        start = end + 1;
    }
    return settings;
}

std::string SrcProperties::Problem(const Values& values) {
    if (!values.guid.empty() && !kestrix::session::CameraPick::ParseGuid(values.guid))
        return "guid '" + values.guid + "' is not a GUID (up to 16 hex digits)";
    if (!values.mode.empty() && !CameraModes::IsModeName(values.mode)) {
        return "mode '" + values.mode +
               "' is not a mode name (WIDTHxHEIGHT-CODING, such as 640x480-mono8)";
    }
    for (const std::string& setting : SplitSettings(values.features)) {
        if (std::string why = CameraFeatures::CheckSetting(setting); !why.empty())
            return "bad value '" + setting + "' in features (" + why + ")";
    }
    return {};
}
