// One recording's file and its frame log written together: each frame into the file, then its
// row into the log, with the figures both report.
//
// Threading: one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "record/FrameLog.h"
#include "record/FrameWriter.h"
#include "record/RecordingSetup.h"

namespace kestrix::record {

class RecordingFile {
public:
    // Creates the file and its log; error set when either cannot be made.
    RecordingFile(const RecordingSetup& setup, std::string& error);

    // Writes the frame and its row; false with error set when either failed (the recording is
    // over: the file and the log keep what came before).
    bool Add(std::span<const std::uint8_t> frame, const session::FrameMetadata& meta,
             std::string& error);
    FrameLog* Log() { return m_pLog ? &*m_pLog : nullptr; }
    std::uint64_t Frames() const { return m_nFrames; }
    // Completes the file and the log; ended says why the recording stopped (empty: as asked).
    bool Finish(const std::string& ended, std::string& error);

private:
    std::string m_strPath;
    std::unique_ptr<FrameWriter> m_pWriter;
    std::optional<FrameLog> m_pLog;
    std::uint64_t m_nFrames = 0;
    bool m_bFinished = false;
};

}  // namespace kestrix::record
