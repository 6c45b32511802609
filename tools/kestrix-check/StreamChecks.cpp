// Streaming every mode, and the software trigger, through the session layer.
#include "tools/kestrix-check/StreamChecks.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "camera/CameraTrigger.h"
#include "camera/IidcRegisters.h"
#include "session/ModeOffer.h"

using namespace kestrix::session;
using namespace std::chrono_literals;

namespace {

constexpr double kCyclesPerSecond = 8000;
constexpr std::uint32_t kCycleWrap = 128 * 8000;
constexpr double kIntervalTolerance = 0.02;
constexpr std::uint32_t kModeRate = 0xFFFFFFFF;  // Format 7: the packet size sets the rate

std::uint32_t CycleOf(std::uint32_t stamp) {
    return (stamp >> 25) * 8000 + (stamp >> 12 & 0x1FFF);
}

std::string Fixed(double value, int digits) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

// Whether the camera's ISO_EN reads off.
bool TransmissionOff(Camera& camera) {
    C1394Dcam::DWORD value = 1;
    const Error error = camera.Call([&](C1394Dcam& cam, int index) {
        return cam.ReadRegister(index, camera::iidc::kIsoEnable, &value) ? Error()
                                                                         : Error(Error::Kind::Failed);
    });
    return !error && (value & 0x80000000) == 0;
}

struct Received {
    int frames = 0;
    int shortFrames = 0;
    std::uint64_t lost = 0;     // never reached the ring
    std::uint64_t dropped = 0;  // overwritten in the ring before they were read
    std::uint64_t missedBetween = 0;  // lost or dropped between the first frame and the last
    std::vector<std::uint32_t> stamps;
    Error error;
};

// Reads count frames, each within timeout.
Received Read(StreamContext& c, FrameStream& stream, int count, std::chrono::milliseconds timeout) {
    Received got;
    std::vector<std::uint8_t> buffer(stream.SlotBytes());
    while (got.frames < count && !c.Stopped()) {
        FrameMetadata meta;
        const FrameStream::Status status = stream.Next(buffer, meta, timeout);
        if (status == FrameStream::Status::Timeout) {
            got.error = Error(Error::Kind::Timeout, "no frame within " +
                                                        std::to_string(timeout.count()) + " ms");
            break;
        }
        if (status != FrameStream::Status::Frame) {
            got.error = stream.EndReason() ? stream.EndReason()
                                           : Error(Error::Kind::Failed, "the stream ended");
            break;
        }
        ++got.frames;
        got.shortFrames += meta.Short() ? 1 : 0;
        got.lost += meta.lostBefore;
        got.dropped += meta.droppedBefore;
        // What the first frame counts went missing before the span the interval is taken over.
        if (got.frames > 1) got.missedBetween += meta.lostBefore + meta.droppedBefore;
        got.stamps.push_back(meta.cycleTime);
    }
    return got;
}

// The line of one mode at one rate (rateIndex kModeRate: Format 7).
void CheckMode(StreamContext& c, const ModeOffer& offer, std::uint32_t rateIndex) {
    const bool format7 = rateIndex == kModeRate;
    const double fps = format7 ? offer.Format7Rate(offer.mode.width, offer.mode.height).Value()
                               : ModeOffer::RateOf(int(rateIndex)).Value();
    const std::string name = "mode " + offer.mode.name +
                             (format7 ? "" : std::string(" at ") +
                                                 CameraModes::RateName(int(rateIndex)) + " fps");
    StreamConfig config;
    config.mode = offer.mode;
    if (!format7) config.rateIndex = int(rateIndex);
    config.ring = RingSize::Frames(8);
    std::shared_ptr<FrameStream> stream;
    if (Error e = c.camera.Configure(config)) return c.report.Fail(name, "set-up: " + e.Message());
    if (Error e = c.camera.Start(stream)) return c.report.Fail(name, "start: " + e.Message());
    // A frame period and the time a camera takes to start, generously.
    const auto timeout = std::chrono::milliseconds(3000 + int(4000 / std::max(fps, 0.1)));
    const Received got = Read(c, *stream, c.Frames(), timeout);
    const std::uint32_t frameBytes = stream->FrameBytes();
    const Error stopped = c.camera.Stop();
    const bool off = TransmissionOff(c.camera);
    if (c.Stopped()) return;
    if (got.error) return c.report.Fail(name, got.error.Message() + " after " +
                                                  std::to_string(got.frames) + " frames");
    const std::uint32_t span =
        (CycleOf(got.stamps.back()) + kCycleWrap - CycleOf(got.stamps.front())) % kCycleWrap;
    // Frames missed on the way widen their gap; the interval counts the periods they spanned.
    const double interval = double(span) / double(got.frames - 1 + got.missedBetween);
    const double nominal = kCyclesPerSecond / fps;
    const double deviation = (interval - nominal) / nominal;
    std::string measured = std::to_string(got.frames) + " frames of " +
                           std::to_string(frameBytes) + " bytes, interval " + Fixed(interval, 1) +
                           " cycles (nominal " + Fixed(nominal, 1) + ", " +
                           (deviation >= 0 ? "+" : "") + Fixed(100 * deviation, 2) + " %)";
    std::string problem;
    if (got.lost > 0) measured += ", " + std::to_string(got.lost) + " lost on the way";
    // A loaded machine may lose a frame now and then; a mode that loses most of them is broken.
    if (got.shortFrames > 0 || got.lost > std::uint64_t(got.frames)) {
        problem = std::to_string(got.shortFrames) + " frames came short and " +
                  std::to_string(got.lost) + " were lost";
    } else if (std::fabs(deviation) > kIntervalTolerance) {
        problem = "the frame interval is off by more than 2 %";
    } else if (stopped || !off) {
        problem = "transmission still on after the stop";
    }
    if (problem.empty()) {
        c.report.Pass(name, measured + ", transmission off after");
    } else {
        c.report.Fail(name, problem + ": " + measured);
    }
}

// Waits until the camera is ready for the next software trigger.
bool WaitUntilReady(Camera& camera) {
    const auto end = std::chrono::steady_clock::now() + 5s;
    for (;;) {
        bool busy = true;
        const Error error = camera.Call([&](C1394Dcam& cam, int index) {
            return CameraTrigger(cam, index).Busy(busy) ? Error() : Error(Error::Kind::Failed);
        });
        if (error) return false;
        if (!busy) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(5ms);
    }
}

}  // namespace

namespace checks {

Error FirstMode(StreamContext& c, StreamConfig& config) {
    std::vector<ModeOffer> offers;
    if (Error e = c.camera.Modes(offers); e || offers.empty())
        return Error(Error::Kind::Failed, "no mode to stream: " + e.Message());
    config.mode = offers.front().mode;
    if (!offers.front().rateIndexes.empty()) config.rateIndex = offers.front().rateIndexes.front();
    config.ring = RingSize::Frames(8);
    return Error();
}

void Modes(StreamContext& c) {
    std::vector<ModeOffer> offers;
    if (Error e = c.camera.Modes(offers)) return c.report.Fail("modes", e.Message());
    if (offers.empty()) return c.report.Fail("modes", "the camera offers no mode that streams");
    for (const ModeOffer& offer : offers) {
        if (offer.format7) {
            if (c.Stopped()) return;
            CheckMode(c, offer, kModeRate);
            continue;
        }
        for (const int rate : offer.rateIndexes) {
            if (c.Stopped()) return;
            CheckMode(c, offer, std::uint32_t(rate));
        }
    }
}

void Trigger(StreamContext& c) {
    CameraTrigger::Offer offer;
    c.camera.Call([&](C1394Dcam& cam, int index) { CameraTrigger(cam, index).Inquire(offer); });
    if (!offer.present || !offer.HasMode(0) || !offer.software)
        return c.report.Skip("trigger", "the camera offers no mode 0 with the software trigger");
    StreamConfig config;
    if (Error e = FirstMode(c, config)) return c.report.Fail("trigger", e.Message());
    CameraTrigger::Setting setting;
    setting.on = true;
    setting.source = CameraTrigger::kSoftwareSource;
    bool set = false;
    c.camera.Call([&](C1394Dcam& cam, int index) { set = CameraTrigger(cam, index).Write(setting); });
    std::shared_ptr<FrameStream> stream;
    if (!set) return c.report.Fail("trigger", "mode 0 with the software trigger was not taken");
    if (Error e = c.camera.Configure(config); e || (e = c.camera.Start(stream)))
        return c.report.Fail("trigger", "start: " + e.Message());
    const int triggers = c.quick ? 2 : 5;
    Received untriggered = Read(c, *stream, 1, 500ms);
    int fired = 0;
    Received got;
    for (; fired < triggers && !c.Stopped() && untriggered.frames == 0; ++fired) {
        bool ok = WaitUntilReady(c.camera);
        c.camera.Call([&](C1394Dcam& cam, int index) { ok = ok && CameraTrigger(cam, index).Fire(); });
        const Received one = ok ? Read(c, *stream, 1, 5000ms) : Received{};
        got.frames += one.frames;
        if (!ok || one.frames == 0) break;
    }
    const Received extra = Read(c, *stream, 1, 300ms);
    c.camera.Stop();
    if (c.Stopped()) return;
    const std::string measured = std::to_string(fired) + " triggers gave " +
                                 std::to_string(got.frames) + " frames, " +
                                 std::to_string(untriggered.frames + extra.frames) +
                                 " came untriggered";
    if (untriggered.frames == 0 && extra.frames == 0 && fired == triggers && got.frames == triggers) {
        c.report.Pass("trigger", measured);
    } else {
        c.report.Fail("trigger", measured);
    }
}

}  // namespace checks
