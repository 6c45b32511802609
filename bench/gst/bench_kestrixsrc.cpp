// kestrixsrc ! fakesink against kestrix-capture, 1360 x 1024 YUV 4:2:2 (Format 7) from a
// kestrix-busd at rate scales 1, 2, 4, ...: frames per second, frames lost (end to end, from the
// counter the simulated camera stamps into each frame) and processor time (user + system) per
// frame of each program over the same stretch after a warm-up. kestrix-capture runs twice: only
// counting frames, and recording them into an AVI file in /dev/shm, which copies each frame out
// of the ring as kestrixsrc does. Then what a frame costs to hand downstream: copied into a
// pooled buffer, or wrapped with a release.
//
// usage: bench_kestrixsrc [seconds measured (8)] [largest rate scale (8)]
#include <gst/gst.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/SimulatedBus.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kMode = "1360x1024-yuv422";
constexpr double kWarmUp = 2;
constexpr std::size_t kFrameBytes = 1360 * 1024 * 2;

struct Figures {
    bool ok = false;
    double fps = 0;
    std::uint64_t lost = 0;
    double msPerFrame = 0;
};

double CpuSeconds(const rusage& usage) {
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// User plus system seconds of a child so far, from /proc.
double ChildCpu(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return 0;
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::vector<std::string> values;
    for (std::string value; fields >> value;) values.push_back(value);
    if (values.size() < 13) return 0;
    return (std::stod(values[11]) + std::stod(values[12])) / double(::sysconf(_SC_CLK_TCK));
}

Figures Capture(double seconds, bool record) {
    Figures figures;
    const std::string avi = "/dev/shm/bench-kestrixsrc-" + std::to_string(::getpid()) + ".avi";
    int out[2];
    if (::pipe(out) != 0) return figures;
    const std::string total = std::to_string(int(seconds + kWarmUp + 2));
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        if (record) {
            ::execl(KESTRIX_CAPTURE_PATH, "kestrix-capture", "--mode", kMode, "--seconds",
                    total.c_str(), "--json", "--verify-counter", "--avi", avi.c_str(), nullptr);
        } else {
            ::execl(KESTRIX_CAPTURE_PATH, "kestrix-capture", "--mode", kMode, "--seconds",
                    total.c_str(), "--json", "--verify-counter", nullptr);
        }
        ::_exit(127);
    }
    ::close(out[1]);
    std::this_thread::sleep_for(std::chrono::duration<double>(kWarmUp));
    const double before = ChildCpu(child);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double cpu = ChildCpu(child) - before;
    std::string json;
    char chunk[4096];
    for (ssize_t n; (n = ::read(out[0], chunk, sizeof chunk)) > 0;)
        json.append(chunk, std::size_t(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::unlink(avi.c_str());
    std::smatch m;
    if (!std::regex_search(json, m, std::regex(R"("fps":([0-9.]+).*"lost":([0-9]+))")))
        return figures;
    figures.fps = std::stod(m[1]);
    figures.lost = std::stoull(m[2]);
    figures.msPerFrame = figures.fps > 0 ? cpu * 1000 / (figures.fps * seconds) : 0;
    figures.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return figures;
}

std::uint64_t StatsField(GstElement* src, const char* name) {
    GstStructure* stats = nullptr;
    g_object_get(src, "stats", &stats, nullptr);
    guint64 value = 0;
    gst_structure_get_uint64(stats, name, &value);
    gst_structure_free(stats);
    return value;
}

// Frames missing between consecutive buffers, by the camera's counter.
struct CounterGaps {
    bool seen = false;
    std::uint32_t last = 0;
    std::atomic<std::uint64_t> gaps{0};
};

GstPadProbeReturn CountGaps(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto* counter = static_cast<CounterGaps*>(data);
    std::uint8_t head[4] = {};
    gst_buffer_extract(GST_PAD_PROBE_INFO_BUFFER(info), 0, head, sizeof head);
    const std::uint32_t stamp = std::uint32_t(head[0]) << 24 | std::uint32_t(head[1]) << 16 |
                                std::uint32_t(head[2]) << 8 | head[3];
    if (counter->seen && stamp > counter->last + 1) counter->gaps += stamp - counter->last - 1;
    counter->seen = true;
    counter->last = stamp;
    return GST_PAD_PROBE_OK;
}

Figures Pipeline(double seconds) {
    Figures figures;
    GstElement* pipeline = gst_parse_launch(
        (std::string("kestrixsrc name=src mode=") + kMode + " ! fakesink sync=false").c_str(),
        nullptr);
    if (pipeline == nullptr) return figures;
    GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    CounterGaps counter;
    GstPad* pad = gst_element_get_static_pad(src, "src");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, CountGaps, &counter, nullptr);
    gst_object_unref(pad);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    std::this_thread::sleep_for(std::chrono::duration<double>(kWarmUp));
    rusage start{}, end{};
    ::getrusage(RUSAGE_SELF, &start);
    const std::uint64_t frames = StatsField(src, "frames");
    const std::uint64_t missing = counter.gaps;
    const auto began = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    ::getrusage(RUSAGE_SELF, &end);
    const std::chrono::duration<double> span = Clock::now() - began;
    const std::uint64_t counted = StatsField(src, "frames") - frames;
    figures.lost = counter.gaps - missing;
    GstMessage* error = gst_bus_pop_filtered(GST_ELEMENT_BUS(pipeline), GST_MESSAGE_ERROR);
    figures.ok = error == nullptr && counted > 0;
    if (error != nullptr) gst_message_unref(error);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(src);
    gst_object_unref(pipeline);
    figures.fps = double(counted) / span.count();
    figures.msPerFrame =
        counted > 0 ? (CpuSeconds(end) - CpuSeconds(start)) * 1000 / double(counted) : 0;
    return figures;
}

void Print(const char* who, double scale, const Figures& f) {
    std::printf("%-16s %5.0fx  %7.2f fps  %4llu lost  %6.3f ms/frame%s\n", who, scale, f.fps,
                static_cast<unsigned long long>(f.lost), f.msPerFrame, f.ok ? "" : "  (failed)");
}

double ThreadCpuMs() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// What handing one frame downstream costs: copied into a buffer from a pool, or wrapped with a
// release callback (what a slot lent to downstream would cost, before any bookkeeping).
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

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 8;
    const double largest = argc > 2 ? std::atof(argv[2]) : 8;
    ::setenv("GST_PLUGIN_PATH", KESTRIX_GST_PLUGIN_PATH, 1);
    gst_init(&argc, &argv);
    std::printf("%s, %.0f s measured after %.0f s of warm-up\n", kMode, seconds, kWarmUp);
    for (double scale = 1; scale <= largest; scale *= 2) {
        testsupport::SimulatedBus bus(1, scale);
        if (!bus.IsRunning()) return 1;
        Print("kestrix-capture", scale, Capture(seconds, false));
        Print("  with --avi", scale, Capture(seconds, true));
        Print("kestrixsrc", scale, Pipeline(seconds));
    }
    HandOver();
    return 0;
}
