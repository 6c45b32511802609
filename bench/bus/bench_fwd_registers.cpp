// Register reads through kestrix-fwd over the fake kernel against the same reads through
// kestrix-busd, in one run: a feature register read by the camera object (one driver request to
// the unit on its kept connection, an asynchronous transaction through the kernel's file). What
// the bridge adds is the difference of the medians; last, the read through the bridge as a
// multiple of the floor (a 44-byte record bounced off an echoing process), from rounds that take
// one read and one floor round trip in turn: as the scheduler places the processes, and pinned
// to two processors or to one.
//
// usage: bench_fwd_registers [rounds (default 2000)]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <vector>

#include "bench/bus/EchoPeer.h"
#include "bench/bus/FloorRatio.h"
#include "camera/C1394Dcam.h"
#include "tests/support/SimulatedBus.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBrightness = 0;
// The target: a read through the bridge at most this many floors.
constexpr double kTargetRatio = 2.0;

struct Figures {
    double median = 0;
    double p90 = 0;
};

// Times rounds steps after a short warm-up; empty when a step failed.
std::optional<Figures> Measure(int rounds, const std::function<bool()>& step) {
    for (int i = 0; i < std::min(rounds, 50); ++i) {
        if (!step()) return std::nullopt;
    }
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        const auto t0 = Clock::now();
        if (!step()) return std::nullopt;
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    std::sort(times.begin(), times.end());
    return Figures{times[times.size() / 2], times[times.size() * 9 / 10]};
}

struct Read {
    Figures alone;
    std::vector<bench::PlacedRatio> paired;
};

// The feature read on the daemon the environment selects: alone, then in turn with the floor.
std::optional<Read> FeatureRead(int rounds, bench::EchoPeer& peer) {
    testsupport::SimulatedBus bus(testsupport::SimulatedBus::Options{});
    C1394Dcam cam;
    if (!bus.IsRunning() || !cam.Open() || cam.GetDeviceCount(C1394Dcam::kCameraDevices) < 1)
        return std::nullopt;
    C1394Dcam::DWORD value = 0;
    const auto read = [&] { return cam.ReadFeature(0, kBrightness, &value); };
    const auto alone = Measure(rounds, read);
    auto paired = bench::MeasureEachPlacement(rounds, peer, bus.Pid(), read);
    if (!alone || paired.empty()) return std::nullopt;
    return Read{*alone, std::move(paired)};
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (rounds < 1) {
        std::fprintf(stderr, "usage: bench_fwd_registers [rounds]\n");
        return 2;
    }
    bench::EchoPeer peer;
    ::unsetenv("KESTRIX_TEST_BRIDGE");
    const auto busd = FeatureRead(rounds, peer);
    ::setenv("KESTRIX_TEST_BRIDGE", "fw", 1);
    const auto fwd = FeatureRead(rounds, peer);
    const auto floor = Measure(rounds, [&] { return peer.RoundTrip(); });
    if (!busd || !fwd || !floor) {
        std::fprintf(stderr, "bench_fwd_registers: a read failed\n");
        return 1;
    }
    std::printf("feature register read, %d rounds, microseconds   median      90%%\n", rounds);
    std::printf("  through kestrix-busd                          %8.1f %8.1f\n", busd->alone.median,
                busd->alone.p90);
    std::printf("  through kestrix-fwd over the fake kernel      %8.1f %8.1f\n", fwd->alone.median,
                fwd->alone.p90);
    std::printf("  round trip: 44 bytes, SOCK_SEQPACKET (floor)  %8.1f %8.1f\n", floor->median,
                floor->p90);
    std::printf("  added by the bridge (median)                  %8.1f  (target: at most 50)\n",
                fwd->alone.median - busd->alone.median);
    std::printf(
        "median / floor, each round a read and a floor round trip in turn "
        "(target for kestrix-fwd at most %.1fx):\n",
        kTargetRatio);
    bench::PrintPlaced("kestrix-fwd", fwd->paired, "kestrix-busd", busd->paired);
    return 0;
}
