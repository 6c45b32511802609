// The checks of kestrix-check that stream, through the session layer: every mode and rate the
// camera lists, and trigger mode 0 with the software trigger. Each stops what it started.
#pragma once

#include "tools/kestrix-check/StreamContext.h"

namespace checks {

// mode NAME [at R fps]: set, start, N frames of the size the registers give, the frame
// interval by cycle stamps within 2 % of the nominal rate, stop, transmission off afterwards.
void Modes(StreamContext& context);
// trigger: with mode 0 and the software trigger, no frame comes untriggered and N triggers give
// N frames.
void Trigger(StreamContext& context);

}  // namespace checks
