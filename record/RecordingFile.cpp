// Writing a recording's frames and rows.
#include "record/RecordingFile.h"

namespace kestrix::record {

RecordingFile::RecordingFile(const RecordingSetup& setup, std::string& error)
    : m_strPath(setup.path) {
    m_pWriter = FrameWriter::Open(setup.path, setup.format, setup.writer, error);
    if (!m_pWriter) return;
    // A pattern's log takes the pattern's name with the conversion as it is: frames/%06d.png.csv.
    if (setup.frameLog) m_pLog.emplace(setup.path, setup.info, error);
}

bool RecordingFile::Add(std::span<const std::uint8_t> frame, const session::FrameMetadata& meta,
                        std::string& error) {
    if (!m_pWriter->Write(frame, meta, error)) return false;
    if (m_pLog && !m_pLog->Row(m_nFrames, meta, error)) return false;
    ++m_nFrames;
    return true;
}

bool RecordingFile::Finish(const std::string& ended, std::string& error) {
    if (m_bFinished) return true;
    m_bFinished = true;
    bool ok = m_pWriter->Finish(error);
    std::string logError;
    if (m_pLog && !m_pLog->Finish(m_nFrames, ended, logError) && ok) {
        error = logError;
        ok = false;
    }
    return ok;
}

}  // namespace kestrix::record
