// A Matroska file through libavformat: FFV1 (lossless) by default, or H.264 for a small lossy
// copy. Each frame's presentation time is its sent time (its arrival while the stream cannot map
// cycle times) since the first frame's, whose UTC time is the file's creation_time.
//
// Each frame's cluster is ended and flushed as the frame is written, so a file cut short
// by a kill opens with every frame written; the cues follow at the end.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "record/AvEncoder.h"
#include "record/FrameWriter.h"

namespace kestrix::record {

class MkvWriter : public FrameWriter {
public:
    MkvWriter(const std::string& path, const FrameFormat& format, const std::string& codec,
              std::string& error);
    ~MkvWriter() override;

    bool Write(std::span<const std::uint8_t> frame, const session::FrameMetadata& meta,
               std::string& error) override;
    bool Finish(std::string& error) override;

private:
    struct CloseOutput {
        void operator()(AVFormatContext* c) const;
    };
    bool Start(const session::FrameMetadata& first, std::string& error);
    bool Mux(AVPacket& packet, std::string& error);
    std::string Named(const std::string& text) const { return m_strPath + ": " + text; }

    std::string m_strPath;
    std::unique_ptr<AvEncoder> m_pEncoder;
    std::unique_ptr<AVFormatContext, CloseOutput> m_pOutput;
    AVStream* m_pStream = nullptr;  // owned by m_pOutput
    bool m_bStarted = false;
    bool m_bFailed = false;
    std::int64_t m_nFirstNs = 0;
    std::int64_t m_nLastPts = -1;
};

}  // namespace kestrix::record
