// Reading a camera pick from text.
#include "session/CameraPick.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

namespace kestrix::session {

std::optional<std::uint64_t> CameraPick::ParseGuid(std::string_view text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 16 ||
        !std::all_of(text.begin(), text.end(),
                     [](unsigned char c) { return std::isxdigit(c) != 0; })) {
        return {};
    }
    std::uint64_t guid = 0;
    std::from_chars(text.data(), text.data() + text.size(), guid, 16);
    return guid;
}

std::optional<CameraPick> CameraPick::Parse(std::string_view text) {
    // A number of one or two digits is an index; a GUID has all its 16 digits.
    if (!text.empty() && text.size() <= 2 &&
        std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); })) {
        int index = 0;
        std::from_chars(text.data(), text.data() + text.size(), index);
        if (index < kMaxIndex) return CameraPick{index, {}};
        return {};
    }
    std::string_view digits = text;
    if (digits.starts_with("0x") || digits.starts_with("0X")) digits.remove_prefix(2);
    const auto guid = digits.size() == 16 ? ParseGuid(digits) : std::nullopt;
    if (guid && *guid != 0) return CameraPick{0, guid};
    return {};
}

std::string CameraPick::Text() const {
    if (!guid) return "camera " + std::to_string(index);
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(*guid));
    return std::string("the camera with GUID ") + text;
}

}  // namespace kestrix::session
