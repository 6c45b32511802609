// The record beside a recording: FILE.csv, one row per frame written (its index in the file,
// sequence, frames lost before it, flags, cycle time, sent and arrival times), and FILE.json, the
// camera, mode, rate, region and features at the start, each feature change with the first
// frame it applies to, and the event frame of a pre-trigger recording.
//
// Rows go out as each frame is written, and the JSON is replaced whole (written beside, then
// renamed) at each change, so a killed recorder leaves both readable.
//
// Threading: one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "files/PosixFile.h"
#include "record/RecordingInfo.h"
#include "session/FrameMetadata.h"

namespace kestrix::record {

class FrameLog {
public:
    // The log of the recording at path (path.csv, path.json); error set when either cannot be
    // made.
    FrameLog(const std::string& path, RecordingInfo info, std::string& error);

    bool Row(std::uint64_t index, const session::FrameMetadata& meta, std::string& error);
    bool FeatureChanged(std::uint64_t index, const session::Feature& feature, std::string& error);
    // The event of a pre-trigger recording: its first frame, and its CLOCK_MONOTONIC time.
    bool MarkEvent(std::uint64_t index, std::int64_t eventNs, std::string& error);
    // The frames written and why the recording ended (empty: as asked).
    bool Finish(std::uint64_t frames, const std::string& ended, std::string& error);

    static std::string FeatureJson(const session::Feature& feature);

private:
    bool WriteJson(std::string& error);

    std::string m_strJsonPath;
    RecordingInfo m_info;
    files::PosixFile m_csv;
    std::uint64_t m_nCsvBytes = 0;
    std::vector<std::string> m_Changes;  // JSON objects
    std::optional<std::uint64_t> m_event;
    std::int64_t m_nEventNs = 0;
    std::optional<std::uint64_t> m_frames;
    std::string m_strEnded;
};

}  // namespace kestrix::record
