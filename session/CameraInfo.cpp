// A camera's GUID as text.
#include "session/CameraInfo.h"

#include <cstdio>

namespace kestrix::session {

std::string CameraInfo::GuidText() const {
    if (guid == 0) return {};
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(guid));
    return text;
}

}  // namespace kestrix::session
