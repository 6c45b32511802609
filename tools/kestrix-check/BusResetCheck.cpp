// The bus-reset check: the driver is asked to reset the bus while the camera streams. A reset
// voids the isochronous allocations the stream runs on, so the stream is expected to end with
// the message that names the reset (or, on a driver that keeps them, to go on); either way the
// camera must stream again after it.
#include <chrono>
#include <string>
#include <vector>

#include "tools/kestrix-check/StreamChecks.h"

using namespace kestrix::session;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// Frames read until `until`, the stream's end, or a wait of timeout without a frame.
int ReadUntil(FrameStream& stream, Clock::time_point until, std::chrono::milliseconds timeout) {
    std::vector<std::uint8_t> buffer(stream.SlotBytes());
    int frames = 0;
    FrameMetadata meta;
    while (Clock::now() < until && stream.Next(buffer, meta, timeout) == FrameStream::Status::Frame)
        ++frames;
    return frames;
}

// Reads one frame within 3 s.
bool OneFrame(FrameStream& stream) {
    return ReadUntil(stream, Clock::now() + 1ms, 3000ms) == 1;
}

// Starts the configured camera and reads one frame; the reason when that fails.
std::string StreamsOnce(Camera& camera) {
    std::shared_ptr<FrameStream> stream;
    if (Error e = camera.Start(stream)) return "start: " + e.Message();
    const bool frame = OneFrame(*stream);
    camera.Stop();
    return frame ? std::string() : "no frame within 3 s";
}

}  // namespace

namespace checks {

void BusReset(StreamContext& c) {
    constexpr const char* kName = "bus-reset";
    StreamConfig config;
    if (Error e = FirstMode(c, config)) return c.report.Fail(kName, e.Message());
    std::shared_ptr<FrameStream> stream;
    if (Error e = c.camera.Configure(config); e || (e = c.camera.Start(stream)))
        return c.report.Fail(kName, "start: " + e.Message());
    if (!OneFrame(*stream)) {
        c.camera.Stop();
        return c.report.Fail(kName, "no frame before the reset");
    }
    bool asked = false;
    c.camera.Call([&](C1394Dcam& cam, int index) {
        asked = cam.SelectCamera(index) && cam.RequestBusReset();
    });
    if (!asked) {
        c.camera.Stop();
        return c.report.Skip(kName, "the driver does not reset the bus on request");
    }
    // The stream waits up to a second for a device change that would name an unplug; a stream
    // that still delivers well past the grace survived the reset.
    const Clock::time_point askedAt = Clock::now();
    const int after = ReadUntil(*stream, askedAt + FrameStream::kNoticeGrace + 1000ms, 3000ms);
    const Error reason = stream->EndReason();
    const bool ended = stream->Ended();
    const bool wentOn = !ended && Clock::now() >= askedAt + FrameStream::kNoticeGrace + 1000ms;
    c.camera.Stop();
    if (c.Stopped()) return;
    std::string outcome;
    if (ended && reason.GetKind() == Error::Kind::BusReset) {
        outcome = "the stream ended: " + reason.Message();
    } else if (wentOn) {
        outcome = "the stream went on through it (" + std::to_string(after) + " frames after)";
    } else {
        return c.report.Fail(kName, ended ? "the stream ended otherwise: " + reason.Message()
                                          : "the stream neither ended nor went on after it");
    }
    if (const std::string again = StreamsOnce(c.camera); !again.empty())
        return c.report.Fail(kName, outcome + ", but not again after it: " + again);
    c.report.Pass(kName, outcome + "; streams again after it");
}

}  // namespace checks
