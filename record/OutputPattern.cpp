// Expanding a several-camera output pattern and naming its sidecar.
#include "record/OutputPattern.h"

#include <cctype>
#include <string_view>

#include "session/CameraInfo.h"

namespace kestrix::record {

namespace {

constexpr std::string_view kCamera = "{camera}";
constexpr std::string_view kGuid = "{guid}";

bool Separator(char c) { return c == '-' || c == '_'; }

// The length of a printf conversion such as %06d at text[at], or 0.
std::size_t ConversionAt(std::string_view text, std::size_t at) {
    if (at >= text.size() || text[at] != '%') return 0;
    std::size_t end = at + 1;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    return end < text.size() && text[end] == 'd' ? end + 1 - at : 0;
}

// Removes [at, at + length) with one separator before it, or after it when none is before.
void Cut(std::string& text, std::size_t at, std::size_t length) {
    if (at > 0 && Separator(text[at - 1])) {
        text.erase(at - 1, length + 1);
    } else if (at + length < text.size() && Separator(text[at + length])) {
        text.erase(at, length + 1);
    } else {
        text.erase(at, length);
    }
}

}  // namespace

bool OutputPattern::HasPlaceholder() const {
    return m_strPattern.find(kCamera) != std::string::npos ||
           m_strPattern.find(kGuid) != std::string::npos;
}

std::string OutputPattern::Problem() const {
    for (std::size_t at = m_strPattern.find('{'); at != std::string::npos;
         at = m_strPattern.find('{', at + 1)) {
        const std::string_view rest = std::string_view(m_strPattern).substr(at);
        if (rest.starts_with(kCamera) || rest.starts_with(kGuid)) continue;
        const std::size_t close = rest.find('}');
        return "unknown placeholder '" + std::string(rest.substr(0, close == rest.npos ? 1 : close + 1)) +
               "' in '" + m_strPattern + "': {camera} takes the camera's index, {guid} its GUID";
    }
    if (!HasPlaceholder()) {
        return "'" + m_strPattern +
               "' names one file for several cameras: put {camera} (the camera's index) or "
               "{guid} (its GUID) in it, e.g. run-{camera}.avi";
    }
    return {};
}

std::string OutputPattern::Expand(int camera, std::uint64_t guid) const {
    std::string path;
    const std::string_view pattern = m_strPattern;
    for (std::size_t at = 0; at < pattern.size();) {
        if (pattern.substr(at).starts_with(kCamera)) {
            path += std::to_string(camera);
            at += kCamera.size();
        } else if (pattern.substr(at).starts_with(kGuid)) {
            path += session::CameraInfo::GuidText(guid);
            at += kGuid.size();
        } else {
            path += pattern[at++];
        }
    }
    return path;
}

std::string OutputPattern::SyncPath() const {
    std::string path = m_strPattern;
    for (const std::string_view placeholder : {kCamera, kGuid}) {
        for (std::size_t at; (at = path.find(placeholder)) != std::string::npos;)
            Cut(path, at, placeholder.size());
    }
    const std::size_t slash = path.rfind('/');
    const std::size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
    for (std::size_t at = nameAt; at < path.size(); ++at) {
        if (const std::size_t length = ConversionAt(path, at); length != 0) {
            Cut(path, at, length);
            break;
        }
    }
    std::string name = path.substr(nameAt);
    std::string folder = path.substr(0, nameAt);
    if (const std::size_t dot = name.rfind('.'); dot != std::string::npos) name.erase(dot);
    if (name.empty() && folder.size() > 1) {
        // frames/%06d.png: the sidecar goes beside the folder, named after it.
        folder.pop_back();
        const std::size_t up = folder.rfind('/');
        name = folder.substr(up == std::string::npos ? 0 : up + 1);
        folder.erase(up == std::string::npos ? 0 : up + 1);
    }
    if (name.empty()) name = "cameras";
    return folder + name + ".sync.csv";
}

}  // namespace kestrix::record
