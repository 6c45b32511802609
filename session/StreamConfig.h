// How a camera streams: the mode with its rate or Format 7 region and packet size, the bus speed,
// the receive flags and the ring. The defaults are the one set every front end starts from.
#pragma once

#include <optional>

#include "camera/CameraModes.h"
#include "camera/Format7Geometry.h"
#include "session/RingSize.h"

namespace kestrix::session {

struct StreamConfig {
    CameraModes::Mode mode;  // as Camera::Modes or Camera::FindMode give it
    int rateIndex = 3;       // fixed modes: 0..5 for 1.875 .. 60 fps
    // Format 7: the image area; the whole sensor when empty.
    std::optional<Format7Region> region;
    // Format 7: bytes per packet; 0 keeps what the mode set-up chose (the largest packet).
    int packetBytes = 0;
    int speed = 2;  // 0..2: S100, S200, S400
    // SY synchronisation: each frame starts at the packet that carries the camera's start
    // marker, so a lost packet costs one frame instead of tearing every later one.
    bool sync = true;
    bool packetMode = false;  // receive packet by packet (the bus layer's packet mode)
    RingSize ring;
    int lendSlots = 0;  // spare buffers a reader may borrow frames into (FrameStream::Lend)
    // The ring's pages are brought in before the camera transmits, so that its first round
    // keeps up with any rate: for a recorder, which wants every frame, at the price of the
    // ring's memory in full and its first touch at the start.
    bool prefaultRing = false;

    // The receive flags of the camera library's StartCapture.
    int CaptureFlags() const { return (sync ? 0x02 : 0) | (packetMode ? 0x10 : 0); }
};

}  // namespace kestrix::session
