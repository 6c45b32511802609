// The summary line and the JSON object of a run.
#include "tools/kestrix-capture/CaptureSummary.h"

#include <cstdio>

#include "common/JsonText.h"

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

std::string CaptureSummary::Line() const { return FiguresLine() + "\n"; }

std::string CaptureSummary::FiguresLine() const {
    char line[200];
    std::snprintf(line, sizeof line, "frames=%llu dropped=%llu fps=%.2f lost=%llu short=%llu",
                  static_cast<unsigned long long>(frames), static_cast<unsigned long long>(dropped),
                  fps, static_cast<unsigned long long>(lost),
                  static_cast<unsigned long long>(shortFrames));
    std::string text = line;
    if (counterGaps) text += " gaps=" + std::to_string(*counterGaps);
    return text;
}

std::string CaptureSummary::FiguresJson() const {
    char figures[320];
    std::snprintf(
        figures, sizeof figures,
        "\"frames\":%llu,\"dropped\":%llu,\"fps\":%.2f,\"bytes\":%llu,\"lost\":%llu,"
        "\"short\":%llu,\"read_errors\":%llu",
        static_cast<unsigned long long>(frames), static_cast<unsigned long long>(dropped), fps,
        static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(lost),
        static_cast<unsigned long long>(shortFrames), static_cast<unsigned long long>(readErrors));
    std::string json = figures;
    if (counterGaps) json += ",\"counter_gaps\":" + std::to_string(*counterGaps);
    return json;
}

std::string CaptureSummary::FilesJson(const std::vector<std::pair<std::string, std::string>>& files) {
    return "\"files\":{" + JsonMembers(files) + "}";
}

std::string CaptureSummary::Json() const {
    return "{" + FiguresJson() + "," + FilesJson(files) + ",\"features\":{" + JsonMembers(features) +
           "},\"exit_reason\":" + JsonString(exitReason) +
           ",\"exit_status\":" + std::to_string(exitStatus) + "}\n";
}
