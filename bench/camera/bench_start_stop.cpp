// Latency of StartCapture, StopCapture and the two together on an idle simulated bus: the camera
// is set up once, then each round starts a capture (resources, receive thread, armed and
// listening) and stops it again (stop, join), with no frame sent in between. Setting the mode
// makes the receive memory ready, so the first start after it should cost what a later one does;
// the set-up's time is printed too, since that is where the memory's cost went.
//
// usage: bench_start_stop [rounds (default 50)]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "camera/C1394Dcam.h"
#include "tests/support/SimulatedBus.h"

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Pages this process has faulted in so far: on a loaded machine each costs far more than on an
// idle one, so the count says what a start's time is made of.
long PageFaults() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt + usage.ru_majflt;
}

void Report(const char* what, std::vector<double> times) {
    std::sort(times.begin(), times.end());
    const auto at = [&](double share) { return times[std::size_t(share * (times.size() - 1))]; };
    std::printf("%-24s %9.2f %9.2f %9.2f %9.2f\n", what, times.front(), at(0.5), at(0.9),
                times.back());
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 50;
    if (rounds < 1) {
        std::fprintf(stderr, "usage: bench_start_stop [rounds]\n");
        return 2;
    }
    testsupport::SimulatedBus bus(testsupport::SimulatedBus::Options{});
    C1394Dcam cam;
    // 640 x 480 YUV 4:2:2 at 15 fps, S400, SY-bit synchronisation, a ring of 8 frames.
    if (!bus.IsRunning() || !cam.Open()) {
        std::fprintf(stderr, "bench_start_stop: no simulated camera to set up\n");
        return 1;
    }
    const auto setUp = Clock::now();
    if (!cam.SetVideoMode(0, 3, 3, false)) {
        std::fprintf(stderr, "bench_start_stop: the camera refused its mode\n");
        return 1;
    }
    const double modeSet = Milliseconds(Clock::now() - setUp);
    std::vector<double> starts, stops, both;
    long firstStartFaults = 0;
    for (int i = 0; i < rounds; ++i) {
        const long faults = PageFaults();
        const auto t0 = Clock::now();
        const bool started = cam.StartCapture(0, 2, 0x02, 8);
        const auto t1 = Clock::now();
        if (i == 0) firstStartFaults = PageFaults() - faults;
        const bool stopped = cam.StopCapture(0);
        const auto t2 = Clock::now();
        if (!started || !stopped) {
            std::fprintf(stderr, "bench_start_stop: round %d failed to %s\n", i,
                         started ? "stop" : "start");
            return 1;
        }
        starts.push_back(Milliseconds(t1 - t0));
        stops.push_back(Milliseconds(t2 - t1));
        both.push_back(Milliseconds(t2 - t0));
    }
    std::printf("SetVideoMode (makes the receive memory ready): %.2f ms\n", modeSet);
    std::printf(
        "first StartCapture after Open and SetVideoMode: %.2f ms (target at most 10), "
        "%ld page faults\n",
        starts.front(), firstStartFaults);
    std::vector<double> sorted = both;
    std::sort(sorted.begin(), sorted.end());
    std::printf("StartCapture+StopCapture median: %.2f ms (target at most 5)\n",
                sorted[sorted.size() / 2]);
    std::printf("%d rounds, milliseconds\n", rounds);
    std::printf("%-24s %9s %9s %9s %9s\n", "", "min", "median", "90%", "max");
    Report("StartCapture", starts);
    Report("StopCapture", stops);
    Report("StartCapture+StopCapture", both);
    return 0;
}
