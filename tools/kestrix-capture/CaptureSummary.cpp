// The summary line and the JSON object of a run.
#include "tools/kestrix-capture/CaptureSummary.h"

#include <cstdio>

#include "tools/common/JsonText.h"

namespace {

// "key":"value" pairs, comma-separated.
std::string JsonMembers(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string members;
    for (const auto& [key, value] : pairs) {
        if (!members.empty()) members += ',';
        members += JsonString(key);
        members += ':';
        members += JsonString(value);
    }
    return members;
}

}  // namespace

std::string CaptureSummary::Line() const {
    char line[160];
    std::snprintf(line, sizeof line, "frames=%llu dropped=%llu fps=%.2f lost=%llu\n",
                  static_cast<unsigned long long>(frames), static_cast<unsigned long long>(dropped),
                  fps, static_cast<unsigned long long>(lost));
    return line;
}

std::string CaptureSummary::Json() const {
    char figures[256];
    std::snprintf(figures, sizeof figures,
                  "{\"frames\":%llu,\"dropped\":%llu,\"fps\":%.2f,\"bytes\":%llu,\"lost\":%llu,",
                  static_cast<unsigned long long>(frames), static_cast<unsigned long long>(dropped),
                  fps, static_cast<unsigned long long>(bytes),
                  static_cast<unsigned long long>(lost));
    return std::string(figures) + "\"files\":{" + JsonMembers(files) + "},\"features\":{" +
           JsonMembers(features) + "},\"exit_reason\":" + JsonString(exitReason) +
           ",\"exit_status\":" + std::to_string(exitStatus) + "}\n";
}
