// A frame's time on the UTC clock, and that time as the files write it.
#pragma once

#include <cstdint>
#include <string>

#include "session/FrameMetadata.h"

namespace kestrix::record {

// The frame's sent time in UTC nanoseconds; while the stream cannot map cycle times, its
// arrival moved onto UTC by the offset between the two clocks now.
std::int64_t FrameUtcNs(const session::FrameMetadata& meta);
// 2026-12-10T04:20:01.123456Z
std::string IsoUtc(std::int64_t utcNs);
// 2026:12:10 04:20:01, as a TIFF DateTime
std::string TiffDateTime(std::int64_t utcNs);

}  // namespace kestrix::record
