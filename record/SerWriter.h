// A SER file (version 3): a 178-byte header, the frames as the camera sends them, and a trailer
// of each frame's UTC time in 100-ns ticks since the year 1. The header's frame count is brought
// up to date after every frame, so a recording cut short by a kill opens with every frame that
// reached the file; the trailer comes at the end.
#pragma once

#include <cstdint>
#include <vector>

#include "files/PosixFile.h"
#include "record/FrameWriter.h"

namespace kestrix::record {

class SerWriter : public FrameWriter {
public:
    // Mono 8/16, RAW8 (its Bayer pattern as the colour id) and RGB 8/16; error set otherwise.
    SerWriter(const std::string& path, const FrameFormat& format, std::string& error);

    bool Write(std::span<const std::uint8_t> frame, const session::FrameMetadata& meta,
               std::string& error) override;
    bool Finish(std::string& error) override;

    static constexpr std::size_t kHeaderBytes = 178;
    static std::int64_t Ticks(std::int64_t utcNs);

private:
    files::PosixFile m_file;
    std::uint32_t m_nFrameBytes = 0;
    std::vector<std::int64_t> m_Times;  // the trailer, in ticks
    bool m_bFailed = false;
};

}  // namespace kestrix::record
