// The checks of kestrix-check that need no stream, in the order a run makes them. Each adds its
// lines to the context's report and leaves what it changed as it found it where it can (the
// run's snapshot puts back the rest).
#pragma once

#include "tools/kestrix-check/CheckContext.h"

namespace checks {

// identity: GUID, the unit's kind, vendor and model leaves, command base.
void Identity(CheckContext& context);
// inquiry: every mode listed has rates (Format 7: a register block), every feature listed is
// present in its own inquiry with limits, absolute registers where claimed.
void Inquiry(CheckContext& context);
// feature NAME: minimum, maximum and middle written and read back, absolute values within
// their range and following the raw ones, the value found put back.
void Features(CheckContext& context);
// one-push NAME: the request clears within its time.
void OnePush(CheckContext& context);
// memory-channels: a setting saved into the highest channel comes back when it is loaded;
// the channel keeps what it held.
void MemoryChannels(CheckContext& context);

}  // namespace checks
