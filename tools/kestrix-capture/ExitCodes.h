// The exit statuses of kestrix-capture, as --help and docs/kestrix-capture.md list them.
#pragma once

enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,       // the run failed: the library, the capture, no frames, no simulated bus
    kExitUsage = 2,        // bad arguments
    kExitNoCamera = 3,     // no camera on the bus, or no bus
    kExitModeRefused = 4,  // the camera refused the mode or rate
    kExitFileError = 5,    // an output file cannot be created or written
    kExitBusEvent = 6,     // a bus reset or a device change cut the recording short
    kExitInterrupted = 130,  // SIGINT or SIGTERM; the file is finished with what arrived
};
