// A bus plan as kestrix-capture --plan prints it: a line per camera and a verdict, or JSON.
#include "session/BusPlan.h"

#include <cstdio>

#include "camera/BusBandwidth.h"
#include "common/JsonText.h"
#include "session/CameraInfo.h"

namespace kestrix::session {
namespace {

std::string Format(const char* format, auto... values) {
    char text[256];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

}  // namespace

std::string BusPlan::Text() const {
    std::string out;
    for (const Share& s : cameras) {
        const std::string guid = CameraInfo::GuidText(s.guid);
        out += Format("camera %d%s%s: %s at %.4g fps, %d-byte packets at S%d, %u units (%.1f %%)\n",
                      s.camera, guid.empty() ? "" : " GUID ", guid.c_str(), s.mode.c_str(), s.fps,
                      s.packetBytes, 100 << s.speed, s.units, BusBandwidth::Percent(s.units));
    }
    out += Format(
        "%zu camera%s: %u of the %u free units (%.1f %%), %zu of %d free channels, %zu of "
        "%d receive contexts: ",
        cameras.size(), cameras.size() == 1 ? "" : "s", unitsPlanned, unitsFree,
        BusBandwidth::Percent(unitsPlanned), cameras.size(), channelsFree, cameras.size(),
        receiveContexts);
    return out + (fits ? std::string("they fit") : "they do not fit: " + refusal) + "\n";
}

std::string BusPlan::Json() const {
    std::string out = "{\"cameras\":[";
    for (const Share& s : cameras) {
        if (&s != &cameras.front()) out += ',';
        out += Format("{\"camera\":%d,\"guid\":", s.camera) +
               JsonString(CameraInfo::GuidText(s.guid)) + ",\"mode\":" + JsonString(s.mode) +
               Format(",\"fps\":%.6g,\"packet_bytes\":%d,\"speed\":%d,\"units\":%u}", s.fps,
                      s.packetBytes, 100 << s.speed, s.units);
    }
    return out +
           Format(
               "],\"units_free\":%u,\"units_planned\":%u,\"channels_free\":%d,"
               "\"receive_contexts\":%d,\"fits\":%s,\"refusal\":",
               unitsFree, unitsPlanned, channelsFree, receiveContexts, fits ? "true" : "false") +
           JsonString(refusal) + "}";
}

}  // namespace kestrix::session
