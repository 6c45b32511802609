// The exit statuses of kestrix-capture, as --help and docs/kestrix-capture.md list them.
#pragma once

enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,    // the run failed: the library, the capture, frames ceasing, a failed stop
    kExitUsage = 2,     // bad arguments
    kExitNoCamera = 3,  // no camera on the bus, or no bus
    kExitModeRefused = 4,  // the camera does not offer the mode or rate, or refused it
    kExitFileError = 5,    // an output file cannot be created or written
    kExitBusEvent = 6,     // a bus reset or a device change cut the recording short
    kExitInUse = 7,        // another program captures from the camera
    kExitFeature = 8,      // a feature the camera lacks, a value out of range or not taken
    kExitSignal = 128,     // plus the signal: 129 SIGHUP, 130 SIGINT, 131 SIGQUIT, 143 SIGTERM
};
