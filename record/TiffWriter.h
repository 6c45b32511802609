// A TIFF file of one or many pages through libtiff: 8 or 16 bits a sample as the camera sends
// them, grey or RGB, uncompressed, each page with its DateTime and a description naming the
// frame's index, sequence and time. Each page's directory is linked in as the page is written,
// so a file cut short by a kill or a full disk opens with the pages before.
//
// BigTIFF when the recording may pass 4 GB (its length unknown, or too long for a classic file).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"
#include "record/FrameWriter.h"

struct tiff;

namespace kestrix::record {

class TiffWriter : public FrameWriter {
public:
    TiffWriter(const std::string& path, const FrameFormat& format, std::uint64_t expectedFrames,
               std::string& error);

    bool Write(std::span<const std::uint8_t> frame, const session::FrameMetadata& meta,
               std::string& error) override;
    bool Finish(std::string& error) override;

private:
    static int OnError(tiff*, void* self, const char* module, const char* format, va_list args);
    bool Failed(std::string& error);
    struct Cleanup {
        void operator()(tiff* file) const;  // frees without writing: Finish flushes first
    };

    FrameFormat m_format;
    std::string m_strPath;
    platform::UniqueFd m_fd;
    std::unique_ptr<tiff, Cleanup> m_pTiff;  // declared after m_fd: freed before it closes
    std::string m_strError;
    std::vector<std::uint8_t> m_Swapped;  // 16-bit samples in the host's order
    std::uint64_t m_nPages = 0;
};

}  // namespace kestrix::record
