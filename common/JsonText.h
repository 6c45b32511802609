// Text as a JSON string, for the objects the tools print: quotes, backslashes and control
// characters escaped, everything else (UTF-8 included) as it is.
#pragma once

#include <cstdio>
#include <string>

inline std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}
