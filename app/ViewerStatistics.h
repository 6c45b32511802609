// The viewer's figures at one moment, as the Statistics dock shows them and code reads them.
#pragma once

#include <QString>

#include <cstdint>

struct ViewerStatistics {
    bool connected = false;
    QString mode;          // "640x480/RGB/15fps", as in the title
    double modeFps = 0;    // the mode's nominal rate; 0 when it has none
    std::uint64_t received = 0;  // frames stored in the ring
    std::uint64_t shown = 0;     // pictures the display took
    std::uint64_t dropped = 0;   // frames the ring overwrote before the recorder copied them
    std::uint64_t lost = 0;      // frames that never reached the ring (docs/session.md)
    std::uint64_t shortFrames = 0;  // frames that arrived incomplete (shown, tail zeroed)
    double receivedFps = 0;
    double receivedMBps = 0;
    // The frames' sent times (docs/session.md, "Frame times"): the last shown frame's in UTC
    // (0 unmapped), and the mean and spread of the intervals between them, per frame.
    std::int64_t lastSentUtcNs = 0;
    double sentIntervalUs = 0;
    double sentSpreadUs = 0;

    bool recording = false;  // a file is open
    QString file;
    double recordingSeconds = 0;  // time spent recording into it
    std::int64_t recordedFrames = 0;
    std::int64_t fileBytes = 0;
    double writeMBps = 0;
    std::int64_t freeBytes = -1;  // on the file's disk; -1 unknown
    bool lowSpace = false;        // under kLowSpace

    static constexpr std::int64_t kLowSpace = std::int64_t(1) << 30;
};
