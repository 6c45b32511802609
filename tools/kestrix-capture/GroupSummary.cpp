// The summary lines and the JSON object of a run of several cameras.
#include "tools/kestrix-capture/GroupSummary.h"

#include "common/JsonText.h"
#include "session/CameraInfo.h"

std::uint64_t GroupSummary::Missing(std::size_t member) const {
    return member < sets.missing.size() ? sets.missing[member] : 0;
}

std::string GroupSummary::Line() const {
    std::string text;
    for (std::size_t i = 0; i < cameras.size(); ++i) {
        text += "camera " + std::to_string(cameras[i].camera) + ": " +
                cameras[i].figures.FiguresLine() + " missing_sets=" + std::to_string(Missing(i)) +
                "\n";
    }
    return text + "sets=" + std::to_string(sets.sets) + " incomplete=" +
           std::to_string(sets.incomplete) + " max_skew_cycles=" +
           std::to_string(sets.maxSkewCycles) + "\n";
}

std::string GroupSummary::Json() const {
    std::string json = "{\"cameras\":[";
    for (std::size_t i = 0; i < cameras.size(); ++i) {
        const Member& member = cameras[i];
        json += (i ? ",{" : "{") + std::string("\"camera\":") + std::to_string(member.camera) +
                ",\"guid\":" + JsonString(kestrix::session::CameraInfo::GuidText(member.guid)) +
                "," + member.figures.FiguresJson() + ",\"missing_sets\":" +
                std::to_string(Missing(i)) + "," +
                CaptureSummary::FilesJson(member.figures.files) + "}";
    }
    std::string missing;
    for (std::size_t i = 0; i < sets.missing.size(); ++i)
        missing += (i ? "," : "") + std::to_string(sets.missing[i]);
    json += "],\"sets\":{\"sets\":" + std::to_string(sets.sets) +
            ",\"incomplete\":" + std::to_string(sets.incomplete) + ",\"missing\":[" + missing +
            "],\"max_skew_cycles\":" + std::to_string(sets.maxSkewCycles) + "}," +
            CaptureSummary::FilesJson(files) + ",\"exit_reason\":" + JsonString(exitReason) +
            ",\"exit_status\":" + std::to_string(exitStatus) + "}\n";
    return json;
}
