// One frame handed to Python: its own copy of the camera's bytes (so it outlives the ring slot it
// came from), what the stream knows about it, and its conversions.
//
// Threading: a frame is filled by the stream that made it, then only read; any thread may
// convert or save it. The pool is thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "camera/BayerPattern.h"
#include "camera/CameraModes.h"
#include "session/FrameMetadata.h"

namespace kxpy {

// What every frame of a stream looks like.
struct FrameFormat {
    std::string mode;  // the mode's name, 640x480-mono8
    int width = 0;
    int height = 0;
    int coding = 0;                           // IIDC colour coding id
    BayerPattern bayer = BayerPattern::None;  // raw8: how to_rgb demosaics
    std::size_t frameBytes = 0;               // the picture's bytes; a ring slot may be longer
    std::size_t slotBytes = 0;

    // The frames of a stream of that mode, in ring slots of slotBytes.
    static std::shared_ptr<const FrameFormat> Of(const CameraModes::Mode& mode,
                                                 std::size_t slotBytes);
};

// Frame buffers of one stream, reused once their frames are gone, so that a steady stream
// allocates nothing per frame. Frames held longer take new buffers.
class FramePool {
public:
    FramePool(std::size_t bytes, std::size_t keep) : m_nBytes(bytes), m_nKeep(keep) {}
    std::unique_ptr<std::uint8_t[]> Take();
    void Give(std::unique_ptr<std::uint8_t[]> buffer);
    std::size_t Bytes() const { return m_nBytes; }

private:
    const std::size_t m_nBytes;
    const std::size_t m_nKeep;
    std::mutex m_lock;  // guards m_free
    std::vector<std::unique_ptr<std::uint8_t[]>> m_free;
};

class FrameData {
public:
    FrameData(std::shared_ptr<FramePool> pool, std::shared_ptr<const FrameFormat> format);
    ~FrameData();  // the buffer goes back to its pool
    FrameData(const FrameData&) = delete;
    FrameData& operator=(const FrameData&) = delete;

    std::uint8_t* Data() { return m_pBytes.get(); }
    const std::uint8_t* Data() const { return m_pBytes.get(); }
    std::size_t SlotBytes() const { return m_pPool->Bytes(); }
    const FrameFormat& Format() const { return *m_pFormat; }
    // Takes what the stream knows of the frame.
    void SetMeta(const kestrix::session::FrameMetadata& meta);

    // The frame's number in its stream, counting the frames lost on the way.
    std::uint64_t sequence = 0;
    // When the frame reached the host: CLOCK_MONOTONIC (Python's time.monotonic_ns) in ns.
    std::int64_t timestampNs = 0;
    // Frames between the frame before this one and this one that never reached the ring or
    // that the ring overwrote before they were read.
    std::uint64_t lostBefore = 0;
    // The bus cycle time the driver stamped the frame with (seconds:7, cycles:13, offset:12).
    std::uint32_t cycleTime = 0;
    // When the frame's first packet left the camera, its cycle time mapped onto CLOCK_MONOTONIC
    // and UTC (ns since the epoch); 0 while the stream cannot map cycle times.
    std::int64_t sentNs = 0;
    std::int64_t sentUtcNs = 0;
    // session::FrameMetadata's flags: kShort for a frame that came with fewer bytes than it has.
    std::uint32_t flags = 0;

    // Height x width x 3 bytes of 8-bit red, green, blue, top row first.
    std::vector<std::uint8_t> ToRgb() const;
    // Writes a BMP (.bmp) or JPEG (.jpg, .jpeg) still by the path's extension.
    void Save(const std::string& path, int quality) const;

private:
    // The bottom-up blue-green-red bitmap the still writers and the viewer take.
    std::vector<std::uint8_t> ToBitmap() const;

    std::shared_ptr<FramePool> m_pPool;
    std::shared_ptr<const FrameFormat> m_pFormat;
    std::unique_ptr<std::uint8_t[]> m_pBytes;
};

}  // namespace kxpy
