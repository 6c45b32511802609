// Frames per second through the capture ring, per offered mode, from a kestrix-busd streaming
// ever faster than real time: each mode runs at rate scales 1, 2, 4, ... 64 until a frame is
// lost, and the fastest stream that arrived whole is reported. Every mode runs twice, its frames
// through the device socket (before) and through shared memory (after). Beside the rate, each
// run reports the processor time per frame of this program and of the daemon, which a busy
// machine does not distort the way it distorts the loss-free rate.
//
// A run counts from a moment after the first frames: the first pass through a new ring and the
// shared memory pays for the first write to each page, which on our virtual machine costs several
// times the copy (docs/capture.md); frames lost then are reported apart, as "lost first".
//
// With KESTRIX_TEST_BRIDGE=fw the stream comes through kestrix-fwd over the fake kernel, and
// the daemon's figures are the bridge's. With KESTRIX_TEST_BRIDGE=both each mode runs through
// shared memory twice, from kestrix-busd and from kestrix-fwd, and the processor times per frame
// of the two daemons end the output side by side. kestrix-fwd's time includes the fake kernel's
// thread (the emulated camera and DMA, work the simulator's daemon does too, less the DMA copy),
// shown apart as "fake kernel"; what is left, "bridge", is what kestrix-fwd would cost beside a
// real kernel and camera.
//
// usage: bench_capture [seconds per run (1.5)] [largest rate scale (64)] [mode name part (all)]
//                      [warm-up seconds (0.5)]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "camera/C1394Dcam.h"
#include "platform/ByteOrder.h"
#include "tests/support/FakeFwControl.h"
#include "tests/support/SimulatedBus.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Mode {
    int modeIndex;
    int rateOrCoding;  // rate index for 0..23, colour coding for Format 7
    const char* name;
    double framesPerSecond;  // at real time
};

// Format 7 sends one packet per 125-microsecond cycle: 680 packets of 4096 bytes per frame.
const Mode kModes[] = {
    {3, 4, "640x480 YUV422 30fps", 30},           {4, 3, "640x480 RGB 15fps", 15},
    {8, 3, "800x600 YUV422 15fps", 15},           {9, 3, "800x600 RGB 15fps", 15},
    {11, 3, "1024x768 YUV422 15fps", 15},         {12, 2, "1024x768 RGB 7.5fps", 7.5},
    {24, 2, "1360x1024 YUV422 F7", 8000.0 / 680},
};

struct Run {
    bool ok = false;
    double fps = 0;
    std::uint32_t frames = 0;
    std::int64_t lost = 0;
    std::int64_t lostFirst = 0;  // during the warm-up
    double megabytesPerSecond = 0;
    double scale = 0;  // of the fastest loss-free run
    double clientMsPerFrame = 0;
    double daemonMsPerFrame = 0;
    double fakeKernelMsPerFrame = 0;  // of the daemon's, kestrix-fwd's fake kernel thread
};

// Processor time so far of a process's threads, all of them or those of one name, in
// milliseconds: the scheduler's run time of each, in nanoseconds, where the tick-counted user and
// system times would be whole ticks of 10 ms, a sizeable part of a short run's total.
double CpuMilliseconds(pid_t pid, const std::string& name = {}) {
    double total = 0;
    std::error_code error;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        if (!name.empty()) {
            std::string comm;
            std::getline(std::ifstream(task.path() / "comm"), comm);
            if (comm != name) continue;
        }
        unsigned long long ns = 0;
        if (std::ifstream(task.path() / "schedstat") >> ns) total += double(ns) / 1e6;
    }
    return total;
}

struct Newest {
    std::uint16_t sequence = 0;
    std::uint32_t stamp = 0;
};

bool SetUp(C1394Dcam& cam, const Mode& mode) {
    if (mode.modeIndex < 24) return cam.SetVideoMode(0, mode.modeIndex, mode.rateOrCoding, false);
    C1394Dcam::Rect area{0, 0, 1359, 1023};
    return cam.SetFormat7Mode(0, mode.modeIndex, mode.rateOrCoding, &area);
}

// The sequence number and camera stamp of the newest frame, read in one copy.
bool ReadNewest(const CDcamCaptureThread& thread, std::vector<std::uint8_t>& frame,
                Newest& newest) {
    int slot = -1;
    if (!thread.CopyFrame(frame, -1, &slot, &newest.sequence)) return false;
    newest.stamp = platform::LoadBE32(frame.data());
    return true;
}

bool WaitForFirstFrame(const CDcamCaptureThread& thread) {
    const auto end = Clock::now() + std::chrono::seconds(20);
    while (!thread.HasFrame()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Waits until no frame has come for a while, so the last one sent is in the ring.
void WaitUntilQuiet(const CDcamCaptureThread& thread) {
    std::uint64_t stored = thread.GetStats().stored;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const std::uint64_t now = thread.GetStats().stored;
        if (now == stored) return;
        stored = now;
    }
}

// Frames the camera sent from one newest frame to the next that the ring did not store.
std::int64_t LostBetween(const Newest& from, const Newest& to) {
    return std::int64_t(to.stamp - from.stamp) - std::uint16_t(to.sequence - from.sequence);
}

Run Measure(const Mode& mode, double scale, double seconds, double warmUp) {
    Run run;
    testsupport::SimulatedBus::Options options;
    options.rateScale = scale;
    testsupport::SimulatedBus bus(options);
    C1394Dcam cam;
    if (!bus.IsRunning() || !cam.Open() || !SetUp(cam, mode) || !cam.StartCapture(0, 2, 0x02, 8) ||
        !cam.StartTransmission(0, 0)) {
        return run;
    }
    const CDcamCaptureThread* thread = cam.GetCaptureThread(0);
    std::vector<std::uint8_t> frame(thread->GetSlotSize());
    Newest opening;
    Newest first;
    Newest last;
    if (!WaitForFirstFrame(*thread) || !ReadNewest(*thread, frame, opening)) return run;
    std::this_thread::sleep_for(std::chrono::duration<double>(warmUp));
    if (!ReadNewest(*thread, frame, first)) return run;
    run.lostFirst = LostBetween(opening, first);
    const auto start = Clock::now();
    const double clientAtStart = CpuMilliseconds(::getpid());
    const double daemonAtStart = CpuMilliseconds(bus.Pid());
    const double fakeKernelAtStart = CpuMilliseconds(bus.Pid(), fakefw::kBusThreadName);
    const std::uint64_t storedAtStart = thread->GetStats().stored;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const std::uint64_t storedAtEnd = thread->GetStats().stored;
    const double stored = double(std::max<std::uint64_t>(1, storedAtEnd - storedAtStart));
    run.clientMsPerFrame = (CpuMilliseconds(::getpid()) - clientAtStart) / stored;
    run.daemonMsPerFrame = (CpuMilliseconds(bus.Pid()) - daemonAtStart) / stored;
    run.fakeKernelMsPerFrame =
        (CpuMilliseconds(bus.Pid(), fakefw::kBusThreadName) - fakeKernelAtStart) / stored;
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    cam.StopTransmission(0);
    WaitUntilQuiet(*thread);
    if (!ReadNewest(*thread, frame, last)) return run;

    // Every frame the camera sent advanced its stamp; every frame stored, the sequence number.
    run.frames = std::uint16_t(last.sequence - first.sequence);
    run.lost = LostBetween(first, last);
    run.fps = double(storedAtEnd - storedAtStart) / elapsed;
    run.megabytesPerSecond = run.fps * thread->GetSlotSize() / 1e6;
    run.ok = true;
    cam.StopCapture(0);
    return run;
}

// One way the frames come: through the socket or shared memory, from the daemon the bridge
// setting names ("" kestrix-busd, "fw" kestrix-fwd).
struct Path {
    const char* name;
    bool shared;
    const char* bridge;
};

std::vector<Path> PathsToRun() {
    const char* bridge = std::getenv("KESTRIX_TEST_BRIDGE");
    const std::string chosen = bridge != nullptr ? bridge : "";
    if (chosen == "both") return {{"busd", true, ""}, {"fwd", true, "fw"}};
    const char* same = chosen == "fw" ? "fw" : "";
    return {{"socket", false, same}, {"shared", true, same}};
}

struct Best {
    const Mode* mode;
    const char* path;
    Run run;
};

// Each scale both daemons ran at: processor time per frame of each, and their ratio.
void PrintDaemons(const std::vector<Best>& runs) {
    std::printf(
        "\nprocessor time per frame of the daemon, ms (kestrix-fwd: with its fake kernel, the "
        "fake kernel alone, and the bridge without it, whose cost a real kernel's DMA does not "
        "add to):\n");
    std::printf("  %-24s %6s %8s %8s %12s %8s %10s %13s\n", "mode", "scale", "busd", "fwd",
                "fake kernel", "bridge", "fwd/busd", "bridge/busd");
    for (const Best& busd : runs) {
        if (std::strcmp(busd.path, "busd") != 0) continue;
        for (const Best& fwd : runs) {
            if (fwd.mode != busd.mode || std::strcmp(fwd.path, "fwd") != 0 ||
                fwd.run.scale != busd.run.scale || busd.run.daemonMsPerFrame <= 0) {
                continue;
            }
            const double bridge = fwd.run.daemonMsPerFrame - fwd.run.fakeKernelMsPerFrame;
            std::printf("  %-24s %6g %8.2f %8.2f %12.2f %8.2f %10.2f %13.2f\n", busd.mode->name,
                        busd.run.scale, busd.run.daemonMsPerFrame, fwd.run.daemonMsPerFrame,
                        fwd.run.fakeKernelMsPerFrame, bridge,
                        fwd.run.daemonMsPerFrame / busd.run.daemonMsPerFrame,
                        bridge / busd.run.daemonMsPerFrame);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 1.5;
    const double largestScale = argc > 2 ? std::atof(argv[2]) : 64;
    const std::string only = argc > 3 ? argv[3] : "";
    const double warmUp = argc > 4 ? std::atof(argv[4]) : 0.5;
    if (seconds <= 0 || largestScale < 1 || warmUp < 0) {
        std::fprintf(stderr,
                     "usage: bench_capture [seconds per run] [largest rate scale] [mode] "
                     "[warm-up seconds]\n");
        return 2;
    }
    std::printf("%-24s %-6s %6s %9s %9s %7s %7s %10s %13s %13s\n", "mode", "path", "scale",
                "nominal", "fps", "MB/s", "lost", "lost first", "ms cpu/frame", "daemon ms/fr");
    const std::vector<Path> paths = PathsToRun();
    std::vector<Best> best;
    std::vector<Best> every;  // each loss-free run, for the daemons side by side
    for (const Mode& mode : kModes) {
        if (std::string(mode.name).find(only) == std::string::npos) continue;
        for (const Path& way : paths) {
            const char* path = way.name;
            ::setenv("KESTRIX_SHARED_BUFFERS", way.shared ? "1" : "0", 1);
            ::setenv("KESTRIX_TEST_BRIDGE", way.bridge, 1);
            Run fastest;
            for (double scale = 1; scale <= largestScale; scale *= 2) {
                const Run run = Measure(mode, scale, seconds, warmUp);
                if (!run.ok) {
                    std::printf("%-24s %-6s %6g  (the capture did not run)\n", mode.name, path,
                                scale);
                    break;
                }
                std::printf("%-24s %-6s %6g %9.1f %9.1f %7.1f %7lld %10lld %13.2f %13.2f\n",
                            mode.name, path, scale, mode.framesPerSecond * scale, run.fps,
                            run.megabytesPerSecond, static_cast<long long>(run.lost),
                            static_cast<long long>(run.lostFirst), run.clientMsPerFrame,
                            run.daemonMsPerFrame);
                std::fflush(stdout);
                if (run.lost != 0) break;
                fastest = run;
                fastest.scale = scale;
                every.push_back({&mode, path, fastest});
                // A stream the bus cannot render any faster gains nothing from a higher scale.
                if (run.fps < 0.8 * mode.framesPerSecond * scale) break;
            }
            best.push_back({&mode, path, fastest});
        }
    }
    std::printf("\nfastest stream with no frame lost, frames per second through the ring:\n");
    for (const auto& [mode, path, run] : best) {
        std::printf("  %-24s %-6s %4gx %8.1f fps  %7.1f MB/s\n", mode->name, path, run.scale,
                    run.fps, run.megabytesPerSecond);
    }
    if (paths.front().shared) PrintDaemons(every);
    return 0;
}
