// Applying -v and -vv.
#include "tools/kestrix-capture/Verbosity.h"

// Nothing yet: the diagnostics facility the count selects does not exist so far.
void ApplyVerbosity(int /*count*/) {}
