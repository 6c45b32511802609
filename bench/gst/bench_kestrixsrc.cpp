// kestrixsrc ! fakesink against kestrix-capture, 1360 x 1024 YUV 4:2:2 (Format 7) from a
// kestrix-busd at rate scales 1, 2, 4, ...: processor time per frame, frames per second and
// frames lost (end to end, from the counter the simulated camera stamps into each frame).
// kestrix-capture runs twice: only counting frames, and recording them into an AVI file in
// /dev/shm, which copies each frame out of the ring. kestrixsrc runs twice too: as it is, lending
// frames downstream in place, and with lend-slots=0, copying each into a pooled buffer.
//
// Every program runs as a child process and is measured the same way: the processor time of all
// its threads (from the scheduler, in nanoseconds) over the same stretch after a warm-up, divided
// by the frames the camera sent in that stretch. The programs take turns, several runs each, so
// that a change in the machine's load falls on all of them; each line gives the median and the
// spread of the runs. Then what a frame costs to hand downstream: copied into a pooled buffer,
// or wrapped with a release.
//
// usage: bench_kestrixsrc [seconds measured per run (5)] [largest rate scale (8)] [runs (3)]
#include <gst/gst.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/SimulatedBus.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kMode = "1360x1024-yuv422";
constexpr const char* kPipelineChild = "--pipeline-child";
constexpr double kWarmUp = 2;
constexpr std::size_t kFrameBytes = 1360 * 1024 * 2;
// The simulated camera's largest packet at S400, one per 125 us cycle at rate scale 1.
constexpr double kPacketsPerSecond = 8000;
constexpr std::size_t kPacketBytes = 4096;

double CameraFps(double scale) {
    return kPacketsPerSecond * scale / double((kFrameBytes + kPacketBytes - 1) / kPacketBytes);
}

struct Run {
    bool ok = false;
    double fps = 0;
    std::uint64_t lost = 0;
    double msPerFrame = 0;
};

// Nanoseconds of processor time all threads of a process have had so far.
double ProcessCpuNs(pid_t pid) {
    double total = 0;
    std::error_code error;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream stat(task.path() / "schedstat");
        double ns = 0;
        if (stat >> ns) total += ns;
    }
    return total;
}

// Runs argv as a child, measures it over `seconds` after the warm-up, and reads the summary it
// prints ({"fps":F,...,"lost":L}, kestrix-capture's --json form).
Run Measure(const std::vector<std::string>& argv, double seconds, double cameraFps) {
    Run run;
    int out[2];
    if (::pipe(out) != 0) return run;
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(out[1]);
    std::this_thread::sleep_for(std::chrono::duration<double>(kWarmUp));
    const double before = ProcessCpuNs(child);
    const auto began = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double cpuNs = ProcessCpuNs(child) - before;
    const std::chrono::duration<double> span = Clock::now() - began;
    std::string summary;
    char chunk[4096];
    for (ssize_t n; (n = ::read(out[0], chunk, sizeof chunk)) > 0;)
        summary.append(chunk, std::size_t(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    std::smatch m;
    if (!std::regex_search(summary, m, std::regex(R"("fps":([0-9.]+).*"lost":([0-9]+))")))
        return run;
    run.fps = std::stod(m[1]);
    run.lost = std::stoull(m[2]);
    run.msPerFrame = cpuNs / 1e6 / (cameraFps * span.count());
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

std::vector<std::string> CaptureArgs(double total, bool record) {
    std::vector<std::string> args{KESTRIX_CAPTURE_PATH, "--mode", kMode, "--seconds",
                                  std::to_string(int(total)), "--json", "--verify-counter"};
    if (record) {
        args.insert(args.end(),
                    {"--avi", "/dev/shm/bench-kestrixsrc-" + std::to_string(::getpid()) + ".avi"});
    }
    return args;
}

// Frames missing between consecutive buffers, by the camera's counter.
struct CounterGaps {
    bool seen = false;
    std::uint32_t last = 0;
    std::atomic<std::uint64_t> gaps{0};
    std::uint64_t buffers = 0;
    Clock::time_point first, latest;  // of the first and the latest buffer
};

GstPadProbeReturn CountGaps(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto* counter = static_cast<CounterGaps*>(data);
    std::uint8_t head[4] = {};
    gst_buffer_extract(GST_PAD_PROBE_INFO_BUFFER(info), 0, head, sizeof head);
    const std::uint32_t stamp = std::uint32_t(head[0]) << 24 | std::uint32_t(head[1]) << 16 |
                                std::uint32_t(head[2]) << 8 | head[3];
    if (counter->seen && stamp > counter->last + 1) counter->gaps += stamp - counter->last - 1;
    counter->latest = Clock::now();
    if (!counter->seen) counter->first = counter->latest;
    ++counter->buffers;
    counter->seen = true;
    counter->last = stamp;
    return GST_PAD_PROBE_OK;
}

// The kestrixsrc side, in a child of its own: streams for `seconds` and prints its summary.
int PipelineChild(double seconds, const char* lendSlots) {
    GstElement* pipeline = gst_parse_launch((std::string("kestrixsrc name=src mode=") + kMode +
                                             " lend-slots=" + lendSlots + " ! fakesink sync=false")
                                                .c_str(),
                                            nullptr);
    if (pipeline == nullptr) return 1;
    GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    CounterGaps counter;
    GstPad* pad = gst_element_get_static_pad(src, "src");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, CountGaps, &counter, nullptr);
    gst_object_unref(pad);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstMessage* error = gst_bus_timed_pop_filtered(
        GST_ELEMENT_BUS(pipeline), GstClockTime(seconds * 1e9), GST_MESSAGE_ERROR);
    GstStructure* stats = nullptr;
    g_object_get(src, "stats", &stats, nullptr);
    guint64 frames = 0, lent = 0;
    gst_structure_get_uint64(stats, "frames", &frames);
    gst_structure_get_uint64(stats, "lent", &lent);
    gst_structure_free(stats);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    // As kestrix-capture counts it: from the first frame on.
    const std::chrono::duration<double> span = counter.latest - counter.first;
    std::printf("{\"frames\":%llu,\"lent\":%llu,\"fps\":%.2f,\"lost\":%llu}\n",
                static_cast<unsigned long long>(frames), static_cast<unsigned long long>(lent),
                span.count() > 0 ? double(counter.buffers - 1) / span.count() : 0,
                static_cast<unsigned long long>(counter.gaps.load()));
    const bool failed = error != nullptr || frames == 0;
    if (error != nullptr) gst_message_unref(error);
    gst_object_unref(src);
    gst_object_unref(pipeline);
    return failed ? 1 : 0;
}

template <typename T>
T Median(std::vector<T> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? T{} : values[values.size() / 2];
}

// One line per program and scale: the runs' median and spread.
double Print(const char* who, double scale, const std::vector<Run>& runs) {
    std::vector<double> ms, fps;
    std::uint64_t lost = 0;
    bool ok = true;
    for (const Run& run : runs) {
        ms.push_back(run.msPerFrame);
        fps.push_back(run.fps);
        lost += run.lost;
        ok = ok && run.ok;
    }
    const double median = Median(ms);
    std::printf("%-16s %3.0fx  %7.2f fps  %5llu lost  %6.3f ms/frame  (%.3f..%.3f)%s\n", who,
                scale, Median(fps), static_cast<unsigned long long>(lost), median,
                *std::min_element(ms.begin(), ms.end()), *std::max_element(ms.begin(), ms.end()),
                ok ? "" : "  (a run failed)");
    return median;
}

double ThreadCpuMs() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// What handing one frame downstream costs: copied into a buffer from a pool, or wrapped with a
// release callback (what a slot lent to downstream costs, before any bookkeeping).
void HandOver() {
    constexpr int kRounds = 200;
    std::vector<std::uint8_t> slot(kFrameBytes, 0x5A);
    GstBufferPool* pool = gst_buffer_pool_new();
    GstStructure* config = gst_buffer_pool_get_config(pool);
    gst_buffer_pool_config_set_params(config, nullptr, guint(kFrameBytes), 4, 0);
    gst_buffer_pool_set_config(pool, config);
    gst_buffer_pool_set_active(pool, TRUE);
    double began = ThreadCpuMs();
    for (int i = 0; i < kRounds; ++i) {
        GstBuffer* buffer = nullptr;
        gst_buffer_pool_acquire_buffer(pool, &buffer, nullptr);
        gst_buffer_fill(buffer, 0, slot.data(), slot.size());
        gst_buffer_unref(buffer);
    }
    const double copy = ThreadCpuMs() - began;
    gst_buffer_pool_set_active(pool, FALSE);
    gst_object_unref(pool);
    int released = 0;
    began = ThreadCpuMs();
    for (int i = 0; i < kRounds; ++i) {
        GstBuffer* buffer = gst_buffer_new_wrapped_full(
            GST_MEMORY_FLAG_READONLY, slot.data(), slot.size(), 0, slot.size(), &released,
            [](gpointer count) { ++*static_cast<int*>(count); });
        gst_buffer_unref(buffer);
    }
    const double wrap = ThreadCpuMs() - began;
    std::printf(
        "hand-over of a %zu-byte frame (processor time): copy into a pooled buffer "
        "%.3f ms, wrap with a release %.4f ms\n",
        kFrameBytes, copy / kRounds, wrap / kRounds);
}

void PrintLoad(const char* when) {
    double load[3] = {};
    ::getloadavg(load, 3);
    std::printf("load average %s: %.2f %.2f %.2f\n", when, load[0], load[1], load[2]);
}

}  // namespace

int main(int argc, char** argv) {
    ::setenv("GST_PLUGIN_PATH", KESTRIX_GST_PLUGIN_PATH, 1);
    gst_init(&argc, &argv);
    if (argc == 4 && std::string(argv[1]) == kPipelineChild)
        return PipelineChild(std::atof(argv[2]), argv[3]);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5;
    const double largest = argc > 2 ? std::atof(argv[2]) : 8;
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
    const double total = seconds + kWarmUp + 1;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::printf("%s, %.0f s measured after %.0f s of warm-up, %d runs per program and scale; "
                "ms/frame: median (least..most) processor time per frame the camera sent\n",
                kMode, seconds, kWarmUp, runs);
    PrintLoad("before");
    for (double scale = 1; scale <= largest; scale *= 2) {
        testsupport::SimulatedBus bus(1, scale);
        if (!bus.IsRunning()) return 1;
        const double fps = CameraFps(scale);
        std::vector<Run> counting, recording, lending, copying;
        for (int run = 0; run < runs; ++run) {
            counting.push_back(Measure(CaptureArgs(total, false), seconds, fps));
            recording.push_back(Measure(CaptureArgs(total, true), seconds, fps));
            lending.push_back(
                Measure({self, kPipelineChild, std::to_string(total), "4"}, seconds, fps));
            copying.push_back(
                Measure({self, kPipelineChild, std::to_string(total), "0"}, seconds, fps));
        }
        const double capture = Print("kestrix-capture", scale, counting);
        Print("  with --avi", scale, recording);
        const double lent = Print("kestrixsrc", scale, lending);
        const double copied = Print("  lend-slots=0", scale, copying);
        std::printf("%-16s %3.0fx  against kestrix-capture: kestrixsrc %.2f, lend-slots=0 %.2f\n",
                    "", scale, capture > 0 ? lent / capture : 0, capture > 0 ? copied / capture : 0);
    }
    ::unlink(("/dev/shm/bench-kestrixsrc-" + std::to_string(::getpid()) + ".avi").c_str());
    HandOver();
    PrintLoad("after");
    return 0;
}
