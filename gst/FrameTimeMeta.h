// The frame times kestrixsrc attaches to each buffer as GstReferenceTimestampMeta: the instant
// the frame's first packet left the camera in UTC (caps timestamp/x-unix), and its bus cycle
// time (caps timestamp/x-ieee1394-cycle-time: nanoseconds since the cycle timer's last 128-second
// wrap). The buffer's PTS stays the running time of its arrival.
#pragma once

#include <gst/gst.h>

#include "session/FrameMetadata.h"

namespace frametimes {

void AttachFrameTimes(GstBuffer* buffer, const kestrix::session::FrameMetadata& frame);

}  // namespace frametimes
