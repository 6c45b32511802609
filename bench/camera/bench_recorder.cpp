// kestrix-capture recording an AVI of 1024 x 768 YUV 4:2:2 at 15 fps from a kestrix-busd at real
// rate, once with frames through the device socket and once through shared memory: the tool's
// processor time (user and system, from /proc) over a stretch of the recording, as a share of
// one core, its page faults and its resident memory at the end.
//
// The stretch starts after a warm-up: a ring touched for the first time costs a page fault per
// 4 KiB, which says how large the ring is, not what the data path costs. The default warm-up
// lets the largest ring (600 MiB, 27 s at 23.6 MB/s) fill once; 3 s suits a recorder-sized one.
//
// usage: bench_recorder [seconds measured (30)] [warm-up seconds (30)] [folder (/tmp)]
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/SimulatedBus.h"

namespace {

namespace fs = std::filesystem;

struct Usage {
    double userSeconds = 0;
    double systemSeconds = 0;
    double pageFaults = 0;
    double residentMb = 0;
};

// User plus system time and resident memory of a process, from /proc.
bool Sample(pid_t pid, Usage& usage) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return false;
    // Fields after the command name, which may hold spaces: state is field 3, utime 14.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::vector<std::string> values;
    for (std::string value; fields >> value;) values.push_back(value);
    if (values.size() < 22) return false;
    const double tick = double(::sysconf(_SC_CLK_TCK));
    usage.pageFaults = std::stod(values[7]);
    usage.userSeconds = std::stod(values[11]) / tick;
    usage.systemSeconds = std::stod(values[12]) / tick;
    usage.residentMb = std::stod(values[21]) * double(::sysconf(_SC_PAGESIZE)) / 1e6;
    return true;
}

struct Run {
    bool ok = false;
    double userPercent = 0;
    double systemPercent = 0;
    double faultsPerSecond = 0;
    double residentMb = 0;
};

Run Measure(bool shared, double seconds, double warmUp, const fs::path& folder) {
    Run run;
    testsupport::SimulatedBus bus(1, 1.0);
    if (!bus.IsRunning()) return run;
    const fs::path avi = folder / ("bench-recorder-" + std::to_string(::getpid()) + ".avi");
    const std::string total = std::to_string(int(seconds + warmUp + 5));
    const pid_t child = ::fork();
    if (child == 0) {
        ::setenv("KESTRIX_SHARED_BUFFERS", shared ? "1" : "0", 1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execl(KESTRIX_CAPTURE_PATH, "kestrix-capture", "--mode", "1024x768-yuv422", "--rate",
                "15", "--seconds", total.c_str(), "--avi", avi.c_str(), nullptr);
        ::_exit(127);
    }
    if (child < 0) return run;
    std::this_thread::sleep_for(std::chrono::duration<double>(warmUp));
    Usage start, end;
    const auto begin = std::chrono::steady_clock::now();
    const bool first = Sample(child, start);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const bool last = Sample(child, end);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    ::kill(child, SIGINT);
    int status = 0;
    ::waitpid(child, &status, 0);
    std::error_code ignored;
    fs::remove(avi, ignored);
    run.ok = first && last;
    run.userPercent = 100 * (end.userSeconds - start.userSeconds) / elapsed;
    run.systemPercent = 100 * (end.systemSeconds - start.systemSeconds) / elapsed;
    run.faultsPerSecond = (end.pageFaults - start.pageFaults) / elapsed;
    run.residentMb = end.residentMb;
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 30;
    const double warmUp = argc > 2 ? std::atof(argv[2]) : 30;
    const fs::path folder = argc > 3 ? argv[3] : "/tmp";
    if (!(seconds > 0) || !(warmUp >= 1)) {
        std::fprintf(stderr,
                     "usage: bench_recorder [seconds measured] [warm-up seconds] [folder]\n");
        return 2;
    }
    std::printf("kestrix-capture --avi, 1024x768 YUV422 15 fps: %g s measured after %g s\n",
                seconds, warmUp);
    std::printf("%-26s %9s %9s %9s %11s %10s\n", "isochronous data", "core %", "user %", "system %",
                "faults/s", "resident");
    for (const bool shared : {false, true}) {
        const Run run = Measure(shared, seconds, warmUp, folder);
        const char* path = shared ? "after: shared memory" : "before: through the socket";
        if (!run.ok) {
            std::printf("%-26s  (the recording did not run)\n", path);
            continue;
        }
        std::printf("%-26s %9.2f %9.2f %9.2f %11.0f %7.0f MB\n", path,
                    run.userPercent + run.systemPercent, run.userPercent, run.systemPercent,
                    run.faultsPerSecond, run.residentMb);
        std::fflush(stdout);
    }
    return 0;
}
