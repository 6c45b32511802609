// An access measured against the floor in the same rounds: each round times one access and then
// one floor round trip, so a machine that gets busier or quieter during the run moves both
// medians alike and their ratio stays the access's own cost.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <vector>

#include "bench/bus/CpuPlacement.h"
#include "bench/bus/EchoPeer.h"

namespace bench {

struct FloorRatio {
    double access = 0;  // median, microseconds
    double floor = 0;
    double Ratio() const { return access / floor; }
};

// Empty when an access or a round trip failed.
inline std::optional<FloorRatio> MeasureAgainstFloor(int rounds, EchoPeer& peer,
                                                     const std::function<bool()>& access) {
    using Clock = std::chrono::steady_clock;
    const auto timed = [](const std::function<bool()>& step, std::vector<double>& into) {
        const auto t0 = Clock::now();
        if (!step()) return false;
        into.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        return true;
    };
    const std::function<bool()> floor = [&] { return peer.RoundTrip(); };
    std::vector<double> accesses;
    std::vector<double> floors;
    for (int i = 0; i < rounds; ++i) {
        if (!timed(access, accesses) || !timed(floor, floors)) return std::nullopt;
    }
    const auto median = [](std::vector<double>& times) {
        std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
        return times[times.size() / 2];
    };
    return FloorRatio{median(accesses), median(floors)};
}

struct PlacedRatio {
    Placement placement;
    FloorRatio ratio;
};

// The same in each placement the machine offers, the server process beside the echoing one; a
// placement the system refuses is left out. Empty when an access failed. Leaves the processes
// as scheduled.
inline std::vector<PlacedRatio> MeasureEachPlacement(int rounds, EchoPeer& peer, pid_t server,
                                                     const std::function<bool()>& access) {
    const CpuPlacement cpus;
    std::vector<PlacedRatio> placed;
    for (const Placement placement : cpus.Offered()) {
        if (!cpus.Place(placement, {server, peer.Pid()})) continue;
        const auto ratio = MeasureAgainstFloor(rounds, peer, access);
        if (!ratio) {
            placed.clear();
            break;
        }
        placed.push_back({placement, *ratio});
    }
    cpus.Place(Placement::Scheduler, {server, peer.Pid()});
    return placed;
}

// One line per placement both were measured in: the two accesses' medians over their floors,
// and the ratios.
inline void PrintPlaced(const char* first, const std::vector<PlacedRatio>& a, const char* second,
                        const std::vector<PlacedRatio>& b) {
    for (const PlacedRatio& x : a) {
        const auto y = std::find_if(b.begin(), b.end(), [&](const PlacedRatio& other) {
            return other.placement == x.placement;
        });
        if (y == b.end()) continue;
        std::printf("  %-16s %s %5.1f / %5.1f = %.2fx   %s %5.1f / %5.1f = %.2fx\n",
                    PlacementName(x.placement), first, x.ratio.access, x.ratio.floor,
                    x.ratio.Ratio(), second, y->ratio.access, y->ratio.floor, y->ratio.Ratio());
    }
}

}  // namespace bench
