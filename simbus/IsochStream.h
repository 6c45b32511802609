// A camera's isochronous stream: follows what the camera is programmed to send, paces its frames
// on the cycle clock and renders each one when its last packet is due. Frames whose time has
// come are sent in a batch at whatever moment the bus gets to them.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "driver/PacketRun.h"
#include "simbus/CameraModel.h"

namespace simbus {

// The daemon framework the simulated bus is served through.
using namespace driver;

class IsochStream {
public:
    // Takes the camera's current setup; a new mode, channel or start of transmission begins a
    // frame at now.
    void Follow(const CameraModel::StreamSetup& setup, std::uint64_t now);
    bool Sending() const { return m_sending; }
    // The cycle at which the frame in flight has all its packets out.
    std::optional<std::uint64_t> DueAt() const;
    // Renders the due frame and starts the next one; the run stays valid until the next call.
    PacketRun SendFrame(CameraModel& camera, std::uint64_t now);
    // Passes over the due frame without sending it, as a camera that lost it would.
    void SkipFrame(std::uint64_t now);

    std::string Describe() const;

    // A frame as it left: the counter stamped into it and the clock cycle of its first packet.
    struct Sent {
        std::uint32_t counter;
        std::uint64_t cycle;
    };
    // The frames sent last, oldest first: what tests hold the mapped frame times against.
    static constexpr std::size_t kSentKept = 256;
    const std::deque<Sent>& SentFrames() const { return m_sent; }

private:
    bool SameStream(const CameraModel::StreamSetup& setup) const;
    // Moves on to the next frame, on time from the stream's start.
    void NextFrame(std::uint64_t now);
    // Moves past every frame that starts at or before cycle last; returns how many.
    std::uint64_t SkipPassedFrames(std::uint64_t last);
    // Cycle at which frame n after the stream's start begins, relative to that start.
    std::uint64_t FrameOffset(std::uint64_t n) const;
    std::uint64_t PacketsPerFrame() const { return m_frame.size() / m_setup.bytesPerPacket; }

    CameraModel::StreamSetup m_setup;
    bool m_sending = false;
    std::string m_refusal;  // why a programmed stream does not go out
    // Frames are paced from the stream's start, so that a period that is not a whole number of
    // cycles never drifts.
    std::uint64_t m_streamStart = 0;
    std::uint64_t m_frameIndex = 0;
    std::uint64_t m_frameStart = 0;
    std::uint32_t m_counter = 0;
    std::uint64_t m_framesSent = 0;
    std::uint64_t m_lateRestarts = 0;
    std::uint64_t m_framesLost = 0;     // frames whose time passed while the bus stalled
    std::uint64_t m_framesSkipped = 0;  // frames a fault kept off the bus
    std::deque<Sent> m_sent;
    std::vector<std::uint8_t> m_frame;  // packets per frame x bytes per packet, padding zero
};

}  // namespace simbus
