// What the log costs: the check every failure point pays when its line is off, and a whole line
// formatted and written (to /dev/null, so the figure is ours rather than the terminal's).
#include <benchmark/benchmark.h>
#include <fcntl.h>

#include "platform/Log.h"
#include "platform/UniqueFd.h"

namespace {

void LineOff(benchmark::State& state) {
    platform::ConfigureLog("*:warn");
    unsigned formatted = 0;
    for (auto _ : state) {
        KX_LOG(Camera, Debug) << "never formatted " << ++formatted;
        benchmark::DoNotOptimize(formatted);
    }
}
BENCHMARK(LineOff);

void LineWritten(benchmark::State& state) {
    const platform::UniqueFd null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    const int previous = platform::SetLogFd(null.Get());
    platform::ConfigureLog("*:debug");
    std::uint32_t address = 0xF0F00800;
    for (auto _ : state) {
        KX_LOG(Bus, Warn) << "async-read of 4 bytes at node 0 address " << platform::Hex(address)
                          << " failed: " << platform::StatusText(31);
        benchmark::DoNotOptimize(address);
    }
    platform::SetLogFd(previous);
}
BENCHMARK(LineWritten);

}  // namespace

BENCHMARK_MAIN();
