// One file per frame, named by a pattern with one %d conversion (%06d, %d): PNG through
// libavcodec (16-bit for mono 16 and RGB 16) or single-page TIFF. Missing folders on the way are
// made. Every file is complete once written, so a kill leaves every frame before it.
#pragma once

#include <optional>
#include <string>

#include "record/AvEncoder.h"
#include "record/FrameWriter.h"

namespace kestrix::record {

class ImageSequenceWriter : public FrameWriter {
public:
    // The file name of frame index by pattern; nothing when the pattern has not exactly one %d
    // conversion (an optional 0 flag and width) besides %% escapes.
    static std::optional<std::string> FileName(const std::string& pattern, std::uint64_t index);

    // tiff: single-page TIFF files, else PNG.
    ImageSequenceWriter(const std::string& pattern, const FrameFormat& format, bool tiff,
                        std::string& error);

    bool Write(std::span<const std::uint8_t> frame, const session::FrameMetadata& meta,
               std::string& error) override;
    bool Finish(std::string&) override { return true; }

private:
    bool WritePng(const std::string& path, std::span<const std::uint8_t> frame,
                  std::string& error);

    std::string m_strPattern;
    FrameFormat m_format;
    bool m_bTiff = false;
    std::unique_ptr<AvEncoder> m_pPng;
    std::uint64_t m_nIndex = 0;
};

}  // namespace kestrix::record
