// An AVI file of the camera's raw frames, the same file the camera object's recorder writes
// (CDcamAviFile: OpenDML, readable while it grows), fed from a stream instead of the ring.
#pragma once

#include "files/CDcamAviFile.h"
#include "record/FrameWriter.h"

namespace kestrix::record {

class AviWriter : public FrameWriter {
public:
    AviWriter(const std::string& path, const FrameFormat& format, std::string& error);

    bool Write(std::span<const std::uint8_t> frame, const session::FrameMetadata& meta,
               std::string& error) override;
    bool Finish(std::string& error) override;

private:
    files::CDcamAviFile m_avi;
    bool m_bOpen = false;
};

}  // namespace kestrix::record
