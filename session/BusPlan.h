// What a bus planner says of several cameras streaming together: each camera's share of the
// bus, what the bus has left, and whether they fit; when not, one sentence naming the fix.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "session/StreamConfig.h"

namespace kestrix::session {

struct BusPlan {
    struct Share {
        int camera = -1;              // index in the camera table
        std::uint64_t guid = 0;
        std::string mode;             // WIDTHxHEIGHT-CODING
        double fps = 0;               // the rate the camera will send at
        int packetBytes = 0;          // bytes per isochronous packet (Format 7: the one chosen)
        int speed = 2;                // 0..2: S100..S400
        std::uint32_t units = 0;      // bandwidth units a cycle
        StreamConfig config;          // the configuration to run, with packetBytes filled in
    };
    std::vector<Share> cameras;
    std::uint32_t unitsFree = 0;      // what the bus had left before these cameras (4915 less
                                      // what others hold)
    std::uint32_t unitsPlanned = 0;   // the sum of the shares
    int channelsFree = 0;             // isochronous channels not held by others
    int receiveContexts = 0;          // the host controller's isochronous receive contexts
    bool fits = false;
    // Why they do not fit and what would ("camera 1 needs 1548 units, 900 are left: 7.5 fps
    // fits, or a Format 7 packet of at most 1400 bytes"); empty when they fit.
    std::string refusal;

    // One line per camera and a closing line, as kestrix-capture --plan prints it.
    std::string Text() const;
    // The same as one JSON object.
    std::string Json() const;
};

}  // namespace kestrix::session
