// What a stream knows of one frame besides its bytes.
#pragma once

#include <cstdint>

namespace kestrix::session {

struct FrameMetadata {
    // Set in flags when fewer bytes came than the frame has: the frame is delivered, its missing
    // tail zeroed, and counted short, never lost.
    static constexpr std::uint32_t kShort = 1u << 0;

    // The frame's number among the frames the camera sent since the stream started, counting
    // the lost ones: a gap in it is a gap in the camera's frames.
    std::uint64_t sequence = 0;
    // The bus cycle time the driver stamped the frame with (seconds:7, cycles:13, offset:12).
    std::uint32_t cycleTime = 0;
    // The instant the frame's first packet left the camera (its cycle time mapped onto the host's
    // clocks): CLOCK_MONOTONIC and UTC nanoseconds, 0 while the stream cannot map cycle times.
    std::int64_t sentNs = 0;
    std::int64_t sentUtcNs = 0;
    // CLOCK_MONOTONIC nanoseconds at which the frame was stored in the ring.
    std::int64_t arrivalNs = 0;
    // Since the frame the reader got before: frames that never reached the ring, and frames
    // the ring overwrote (or Newest skipped) before the reader came to them.
    std::uint64_t lostBefore = 0;
    std::uint64_t droppedBefore = 0;
    std::uint32_t flags = 0;
    int slot = -1;  // the ring slot it was read from

    bool Short() const { return (flags & kShort) != 0; }
};

}  // namespace kestrix::session
