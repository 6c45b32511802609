// Writing a recording's frame log.
#include "record/FrameLog.h"

#include <fcntl.h>

#include <cstdio>

#include "common/JsonText.h"
#include "files/CFileException.h"
#include "files/StagedFile.h"
#include "record/TimeText.h"

namespace kestrix::record {

namespace {

constexpr const char* kHeader =
    "index,sequence,lost_before,flags,cycle_time,sent_monotonic_ns,sent_utc,arrived_monotonic_ns\n";

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

}  // namespace

std::string FrameLog::FeatureJson(const session::Feature& f) {
    std::string json = "{\"mode\": " + JsonString(session::ModeName(f.mode)) +
                       ", \"value\": " + std::to_string(f.value);
    if (f.name == "white-balance") json += ", \"high\": " + std::to_string(f.high);
    if (f.absolute) json += ", \"absolute\": " + Number(*f.absolute) + ", \"unit\": " + JsonString(f.unit);
    return json + ", \"text\": " + JsonString(f.text) + "}";
}

FrameLog::FrameLog(const std::string& path, RecordingInfo info, std::string& error)
    : m_strJsonPath(path + ".json"), m_info(std::move(info)) {
    try {
        m_csv.Open(path + ".csv", O_WRONLY | O_CREAT | O_TRUNC);
        const std::string_view header(kHeader);
        m_csv.Write(0, std::span(reinterpret_cast<const std::uint8_t*>(header.data()), header.size()));
        m_nCsvBytes = header.size();
    } catch (const files::CFileException& e) {
        error = e.what();
        return;
    }
    WriteJson(error);
}

bool FrameLog::Row(std::uint64_t index, const session::FrameMetadata& m, std::string& error) {
    char row[256];
    const int n = std::snprintf(
        row, sizeof row, "%llu,%llu,%llu,%u,0x%08x,%lld,%s,%lld\n", (unsigned long long)index,
        (unsigned long long)m.sequence, (unsigned long long)m.lostBefore, m.flags, m.cycleTime,
        (long long)m.sentNs, m.sentUtcNs != 0 ? IsoUtc(m.sentUtcNs).c_str() : "",
        (long long)m.arrivalNs);
    try {
        m_csv.Write(m_nCsvBytes, std::span(reinterpret_cast<const std::uint8_t*>(row), std::size_t(n)));
        m_nCsvBytes += std::uint64_t(n);
        return true;
    } catch (const files::CFileException& e) {
        error = e.what();
        return false;
    }
}

bool FrameLog::FeatureChanged(std::uint64_t index, const session::Feature& feature,
                              std::string& error) {
    m_Changes.push_back("{\"frame\": " + std::to_string(index) +
                        ", \"feature\": " + JsonString(feature.name) +
                        ", \"to\": " + FeatureJson(feature) + "}");
    return WriteJson(error);
}

bool FrameLog::MarkEvent(std::uint64_t index, std::int64_t eventNs, std::string& error) {
    m_event = index;
    m_nEventNs = eventNs;
    return WriteJson(error);
}

bool FrameLog::Finish(std::uint64_t frames, const std::string& ended, std::string& error) {
    m_frames = frames;
    m_strEnded = ended;
    bool ok = WriteJson(error);
    try {
        m_csv.Close();
    } catch (const files::CFileException& e) {
        if (ok) error = e.what();
        ok = false;
    }
    return ok;
}

bool FrameLog::WriteJson(std::string& error) {
    const RecordingInfo& i = m_info;
    std::string json = "{\n  \"camera\": {\"vendor\": " + JsonString(i.camera.vendor) +
                       ", \"model\": " + JsonString(i.camera.model) +
                       ", \"guid\": " + JsonString(i.camera.GuidText()) + "},\n";
    json += "  \"mode\": " + JsonString(i.mode) + ",\n  \"fps\": " + Number(i.fps) + ",\n";
    json += "  \"region\": ";
    json += i.region ? "{\"left\": " + std::to_string(i.region->left) +
                           ", \"top\": " + std::to_string(i.region->top) +
                           ", \"width\": " + std::to_string(i.region->width) +
                           ", \"height\": " + std::to_string(i.region->height) + "}"
                     : std::string("null");
    json += ",\n  \"features\": {";
    for (std::size_t k = 0; k < i.features.size(); ++k) {
        json += (k ? ",\n    " : "\n    ") + JsonString(i.features[k].name) + ": " +
                FeatureJson(i.features[k]);
    }
    json += "\n  },\n  \"feature_changes\": [";
    for (std::size_t k = 0; k < m_Changes.size(); ++k) json += (k ? ",\n    " : "\n    ") + m_Changes[k];
    json += "\n  ],\n  \"event_frame\": " + (m_event ? std::to_string(*m_event) : "null");
    json += ",\n  \"event_monotonic_ns\": " + (m_event ? std::to_string(m_nEventNs) : "null");
    json += ",\n  \"frames\": " + (m_frames ? std::to_string(*m_frames) : "null");
    json += ",\n  \"ended\": " + (m_frames ? JsonString(m_strEnded.empty() ? "done" : m_strEnded) : "null");
    json += "\n}\n";
    try {
        files::StagedFile file(m_strJsonPath);
        file.Create();
        file.File().Write(0, std::span(reinterpret_cast<const std::uint8_t*>(json.data()), json.size()));
        file.Commit();
    } catch (const files::CFileException& e) {
        error = e.what();
        return false;
    }
    return true;
}

}  // namespace kestrix::record
