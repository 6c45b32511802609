// Writing AVI files from a stream.
#include "record/AviWriter.h"

namespace kestrix::record {

AviWriter::AviWriter(const std::string& path, const FrameFormat& format, std::string& error) {
    const auto period = std::uint32_t(format.fps > 0 ? 1e6 / format.fps + 0.5 : 0);
    if (period == 0) {
        error = "the camera does not tell its frame rate, which an AVI file needs";
        return;
    }
    if (!m_avi.Open(path) ||
        !m_avi.SetFormat(format.coding, format.width, format.height, period, false)) {
        error = m_avi.GetErrorText();
        return;
    }
    m_bOpen = true;
}

bool AviWriter::Write(std::span<const std::uint8_t> frame, const session::FrameMetadata&,
                      std::string& error) {
    switch (m_avi.WriteFrame(frame)) {
        case files::CDcamAviFile::WriteResult::Written:
            return true;
        case files::CDcamAviFile::WriteResult::IndexFull:
            error = "the AVI file's index is full";
            return false;
        default:
            error = m_avi.GetErrorText();
            return false;
    }
}

bool AviWriter::Finish(std::string& error) {
    if (!m_bOpen) return true;
    m_bOpen = false;
    if (m_avi.Finish()) return true;
    error = m_avi.GetErrorText();
    return false;
}

}  // namespace kestrix::record
