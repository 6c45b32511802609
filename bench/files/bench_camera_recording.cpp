// A recording of 1024 x 768 RGB at 7.5 frames per second from kestrix-busd run faster than real
// time (10 times by default: 75 frames, 177 MB a second) through C1394Dcam's capture ring and
// AVI writer onto the disk. Prints frames, frames dropped anywhere (in the ring or before it,
// by the camera's frame counters in the file) and the throughput.
//
//   bench_camera_recording [folder (default $TMPDIR or /tmp)] [frames (450)] [rate scale (10)]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "camera/C1394Dcam.h"
#include "files/CameraFiles.h"
#include "platform/MessageQueue.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/SimulatedBus.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kRgbXga = 12;
constexpr int kRate7_5 = 2;
constexpr int kSpeed400 = 2;
constexpr int kSyncSy = 0x02;
constexpr double kFramesPerSecond = 7.5;

struct Outcome {
    std::uint32_t frames = 0;
    std::uint32_t droppedInRing = 0;
    std::int64_t lostBeforeRing = 0;
    double seconds = 0;
    std::uint32_t frameBytes = 0;
};

// Frames the camera sent between the first and last recorded one that the file lacks.
std::int64_t FramesMissingIn(const fs::path& avi) {
    const auto positions = filestest::ReadOdmlIndex(avi).frames;
    if (positions.empty()) return 0;
    const auto stamp = [&](std::uint64_t at) {
        return platform::LoadBE32(filestest::ReadAt(avi, at, 4).data());
    };
    const std::int64_t span = std::int64_t(stamp(positions.back())) - stamp(positions.front()) + 1;
    return span - std::int64_t(positions.size());
}

bool Record(C1394Dcam& cam, const fs::path& avi, std::uint32_t frames, Outcome& outcome) {
    const int ring = std::max(5, cam.CalcBufferCount(kRgbXga, 50, 1));
    if (!cam.SetVideoMode(0, kRgbXga, kRate7_5, false) ||
        !cam.StartCapture(0, kSpeed400, kSyncSy, ring) ||
        !files::OpenAviFile(cam, 0, avi.c_str(), false) ||
        !files::StartAviRecording(cam, 0, frames) || !cam.StartTransmission(0, 0)) {
        return false;
    }
    outcome.frameBytes = cam.GetCaptureThread(0)->GetSlotSize();
    auto& queue = platform::MessageQueue::ForCurrentThread();
    Clock::time_point first{};
    const auto deadline = Clock::now() + std::chrono::minutes(5);
    while (files::GetAviFrameCount(cam, 0) < int(frames) && Clock::now() < deadline) {
        queue.Pump(std::chrono::milliseconds(1));
        if (first == Clock::time_point{} && files::GetAviFrameCount(cam, 0) > 0)
            first = Clock::now();
    }
    outcome.seconds = std::chrono::duration<double>(Clock::now() - first).count();
    cam.StopTransmission(0);
    const bool closed = files::CloseAviFile(cam, 0);
    outcome.frames = std::uint32_t(files::GetAviFrameCount(cam, 0));
    outcome.droppedInRing = std::uint32_t(files::GetAviDropped(cam, 0));
    cam.StopCapture(0);
    return closed;
}

}  // namespace

int main(int argc, char** argv) {
    const char* tmp = std::getenv("TMPDIR");
    const fs::path folder = argc > 1 ? argv[1] : tmp != nullptr ? tmp : "/tmp";
    const auto frames = std::uint32_t(argc > 2 ? std::atol(argv[2]) : 450);
    const double scale = argc > 3 ? std::atof(argv[3]) : 10;
    if (frames < 2 || scale <= 0) {
        std::fprintf(stderr, "usage: bench_camera_recording [folder] [frames] [rate scale]\n");
        return 2;
    }
    testsupport::SimulatedBus::Options options;
    options.rateScale = scale;
    testsupport::SimulatedBus bus(options);
    C1394Dcam cam;
    const fs::path avi = folder / ("bench-recording-" + std::to_string(::getpid()) + ".avi");
    Outcome outcome;
    const bool ok = bus.IsRunning() && cam.Open() && Record(cam, avi, frames, outcome);
    if (ok) outcome.lostBeforeRing = FramesMissingIn(avi);
    std::error_code ignored;
    fs::remove(avi, ignored);
    if (!ok) {
        std::fprintf(stderr, "bench_camera_recording: the recording failed: %s\n",
                     files::GetAviErrorText(cam, 0).c_str());
        return 1;
    }
    const double fps = (outcome.frames - 1) / outcome.seconds;
    std::printf("1024x768 RGB, %.1f fps nominal (rate scale %g), into %s\n",
                kFramesPerSecond * scale, scale, folder.c_str());
    std::printf("frames %u  dropped in the ring %u  lost before it %lld  %.1f fps  %.1f MB/s\n",
                outcome.frames, outcome.droppedInRing,
                static_cast<long long>(outcome.lostBeforeRing), fps,
                fps * outcome.frameBytes / 1e6);
    return outcome.droppedInRing == 0 && outcome.lostBeforeRing == 0 ? 0 : 1;
}
