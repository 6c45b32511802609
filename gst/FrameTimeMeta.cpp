// Reference timestamps of a frame's sent time.
#include "gst/FrameTimeMeta.h"

#include "platform/CycleTimerReading.h"

namespace frametimes {
namespace {

GstStaticCaps g_unixCaps = GST_STATIC_CAPS("timestamp/x-unix");
GstStaticCaps g_cycleCaps = GST_STATIC_CAPS("timestamp/x-ieee1394-cycle-time");

void AddReference(GstBuffer* buffer, GstStaticCaps* which, GstClockTime timestamp) {
    GstCaps* caps = gst_static_caps_get(which);
    gst_buffer_add_reference_timestamp_meta(buffer, caps, timestamp, GST_CLOCK_TIME_NONE);
    gst_caps_unref(caps);
}

}  // namespace

void AttachFrameTimes(GstBuffer* buffer, const kestrix::session::FrameMetadata& frame) {
    if (frame.sentUtcNs > 0) {
        AddReference(buffer, &g_unixCaps, GstClockTime(frame.sentUtcNs));
    }
    // A driver that stamps no cycle time leaves a cycle count no cycle has.
    if ((frame.cycleTime >> 12 & 0x1FFF) >= platform::kCyclesPerSecond) return;
    const std::uint64_t ticks = platform::TicksOf(frame.cycleTime);
    const GstClockTime ns = ticks * 1'000'000'000ull / platform::kTicksPerSecond;
    AddReference(buffer, &g_cycleCaps, ns);
}

}  // namespace frametimes
