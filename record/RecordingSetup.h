// Everything a recording needs to know before its first frame.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "record/FrameFormat.h"
#include "record/FrameWriter.h"
#include "record/RecordingInfo.h"
#include "session/Camera.h"

namespace kestrix::record {

struct RecordingSetup {
    std::string path;  // its name chooses the format (FrameWriter::Open)
    FrameFormat format;
    WriterOptions writer;
    bool frameLog = true;  // path.csv and path.json beside it
    RecordingInfo info;
    // Frames to write from the event frame on (the first, without a pre-trigger); 0: until
    // stopped.
    std::uint64_t frameLimit = 0;
    // Above 0: nothing is written until Recorder::Trigger, then the frames of the last this many
    // seconds before it first. The stream's ring must hold them (RingSize::Seconds).
    double preTriggerSeconds = 0;
    // Where the camera's manager runs its own thread: reads the features, which the recorder
    // then does twice a second itself. Empty: the front end calls Recorder::NoteFeatures.
    std::function<bool(std::vector<session::Feature>&)> readFeatures;

    // The setup of a recording of the camera's configured stream into path: its frame format
    // and rate, and the camera, mode, region and features for the frame log. What a front end
    // chooses (codec, limits, the log itself) it sets after.
    static RecordingSetup Of(session::Camera& camera, const std::string& path);
};

}  // namespace kestrix::record
