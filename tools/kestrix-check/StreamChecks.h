// The checks of kestrix-check that stream, through the session layer: every mode and rate the
// camera lists, trigger mode 0 with the software trigger, and a refusal for want of bandwidth.
// Each stops what it started.
#pragma once

#include "tools/kestrix-check/StreamContext.h"

namespace checks {

// mode NAME [at R fps]: set, start, N frames of the size the registers give, the frame
// interval by cycle stamps within 2 % of the nominal rate, stop, transmission off afterwards.
void Modes(StreamContext& context);
// trigger: with mode 0 and the software trigger, no frame comes untriggered and N triggers give
// N frames.
void Trigger(StreamContext& context);
// bus-reset: a bus reset while the camera streams ends the stream with the message that names
// it (or the stream goes on), and the camera streams again after it.
void BusReset(StreamContext& context);
// bandwidth: with the bus's bandwidth held elsewhere, a stream is refused with the sentence that
// says by how much, and starts once the bandwidth is back.
void Bandwidth(StreamContext& context);

// The camera's first mode at its fastest rate, with a small ring: what the checks that need
// any stream run. Error set when the camera offers none.
kestrix::session::Error FirstMode(StreamContext& context, kestrix::session::StreamConfig& config);

}  // namespace checks
