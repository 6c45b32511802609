// How much kestrix-capture reports on stderr: -v and -vv on the command line.
#pragma once

// Applies the count of -v options (0: failures only, 1: -v, 2 or more: -vv) to this process's
// diagnostics. Call once, before the camera library is opened.
void ApplyVerbosity(int count);
