// The viewer on a private simulated camera: for every mode the video-setting dialog offers, the
// view rate (paints per second) against the camera's frame rate, with and without an AVI
// recording running, and the viewer process's processor share. Prints one line per run.
//   viewer_rates [--seconds S (default 10)] [--mode SIZE,COLOR,RATE]...
//   viewer_rates --lean [--seconds S (default 30)]
// --lean runs 1024 x 768 YUV 4:2:2 at 15 fps displayed, displayed and recorded raw, and
// displayed and recorded converted, each measured over S seconds after a warm-up (at least until
// the ring has come round once: its first round is the system zeroing fresh pages), against the
// viewer's targets (3 %, 5 % and 8 % of a core), then kestrix-capture recording the same way
// for as long, the reference a viewer's recording should not exceed. On a loaded machine the
// figures are rough.
#include <QApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "bench/app/ViewerBench.h"
#include "tests/app/ViewerTestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Mode {
    int size, color, rate;
};

enum class Recording { None, Raw, Converted };

struct Figures {
    double camera = 0, view = 0, cpu = 0, windowCpu = 0;
    int ringFrames = 0;
};

constexpr const char* kSizes[] = {"640x480", "800x600", "1024x768", "1360x1024"};
constexpr double kRates[] = {1.875, 3.75, 7.5, 15};
constexpr auto kWarmUp = std::chrono::milliseconds(3000);
constexpr auto kLongestLap = std::chrono::seconds(120);

// Every choice the dialog leaves enabled.
std::vector<Mode> OfferedModes() {
    std::vector<Mode> modes;
    for (int color = 0; color < 2; ++color) {
        for (int rate = 1; rate < 4; ++rate) modes.push_back({0, color, rate});
        for (int rate = color == 0 ? 2 : 1; rate < 4; ++rate) modes.push_back({1, color, rate});
        for (int rate = 0; rate < (color == 0 ? 3 : 4); ++rate) modes.push_back({2, color, rate});
        modes.push_back({3, color, 2});
    }
    return modes;
}

std::string ModeName(const Mode& mode) {
    char name[64];
    std::snprintf(name, sizeof name, "%-9s %-3s %-6s", kSizes[mode.size],
                  mode.color ? "YUV" : "RGB",
                  mode.size == 3 ? "F7" : QByteArray::number(kRates[mode.rate]).constData());
    return name;
}

bool Run(CMainFrame& frame, viewertest::ScriptedPrompts& prompts, const Mode& mode,
         Recording recording, double seconds, const std::string& folder, Figures& figures) {
    CCameraView& view = *frame.View();
    prompts.video = CVideoSettingDlg::ChoiceFor(mode.size, mode.color, mode.rate);
    view.Camera().SetMemoryProbe([] { return std::uint32_t(256) << 20; });
    if (!view.RunCommand(cmd::kConnect) || !view.m_bConnected) return false;
    frame.resize(frame.maximumSize());
    if (recording != Recording::None) {
        prompts.fileAnswers.push_back(QString::fromStdString(folder + "/rates.avi"));
        prompts.answerYes = recording == Recording::Converted;
        view.RunCommand(cmd::kAviOpen);
        view.RunCommand(cmd::kAviStart);
    }
    int paints = 0;
    const auto counter = QObject::connect(&view, &CCameraView::Painted, [&] { ++paints; });
    view.RunCommand(cmd::kStart);
    viewerbench::RunLoopFor(kWarmUp);
    const CDcamCaptureThread* capture = view.Camera().GetCaptureThread(0);
    // The ring's first round costs the system a zeroed page for every byte it fills: a cost of
    // the ring's size, once per connection, not of each frame's path, so it is left out.
    const auto lapped = [capture] {
        return capture == nullptr ||
               capture->GetStats().stored > std::uint64_t(capture->GetSlotCount());
    };
    for (const auto until = Clock::now() + kLongestLap; !lapped() && Clock::now() < until;)
        viewerbench::RunLoopFor(std::chrono::milliseconds(200));
    figures.ringFrames = capture != nullptr ? capture->GetSlotCount() : 0;
    paints = 0;
    const std::uint64_t stored0 = capture != nullptr ? capture->GetStats().stored : 0;
    const double cpu0 = viewerbench::CpuSeconds();
    const double window0 = viewerbench::WindowThreadCpuSeconds();
    const auto t0 = Clock::now();
    viewerbench::RunLoopFor(std::chrono::milliseconds(int(seconds * 1000)));
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    figures.cpu = (viewerbench::CpuSeconds() - cpu0) / wall * 100;
    figures.windowCpu = (viewerbench::WindowThreadCpuSeconds() - window0) / wall * 100;
    QObject::disconnect(counter);
    // The camera's rate as it delivered frames (Format 7 runs at its own packet pace).
    const std::uint64_t stored = capture != nullptr ? capture->GetStats().stored - stored0 : 0;
    figures.camera = double(stored) / wall;
    figures.view = paints / wall;
    view.RunCommand(cmd::kStop);
    if (recording != Recording::None) view.RunCommand(cmd::kAviClose);
    view.RunCommand(cmd::kRelease);
    std::remove((folder + "/rates.avi").c_str());
    return true;
}

void Sweep(CMainFrame& frame, viewertest::ScriptedPrompts& prompts, const std::vector<Mode>& modes,
           double seconds, const std::string& folder) {
    for (const Mode& mode : modes) {
        for (Recording recording : {Recording::None, Recording::Raw}) {
            Figures f;
            if (!Run(frame, prompts, mode, recording, seconds, folder, f)) {
                std::printf("%s: connect failed\n", ModeName(mode).c_str());
                continue;
            }
            std::printf("%s camera %6.3f fps  view %6.3f fps (%+5.1f %%)  %-9s cpu %5.1f %%\n",
                        ModeName(mode).c_str(), f.camera, f.view, (f.view / f.camera - 1) * 100,
                        recording == Recording::Raw ? "recording" : "", f.cpu);
            std::fflush(stdout);
        }
    }
}

double ChildrenCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// kestrix-capture's whole run (its start included) recording the same mode on the same bus.
void Reference(bool convert, double seconds, const std::string& folder) {
    const std::string file = folder + "/reference.avi";
    std::vector<std::string> argv{KESTRIX_CAPTURE_PATH,
                                  "--mode",
                                  "1024x768-yuv422",
                                  "--seconds",
                                  std::to_string(int(seconds)),
                                  "--avi",
                                  file};
    if (convert) argv.emplace_back("--convert");
    const double cpu0 = ChildrenCpuSeconds();
    const auto t0 = Clock::now();
    const auto result = testsupport::SimulatedBus::RunProgram(argv);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    std::remove(file.c_str());
    if (!result.Ok()) {
        std::printf("kestrix-capture %s: failed\n", convert ? "--convert" : "raw");
        return;
    }
    std::printf("kestrix-capture recording %-9s cpu %5.2f %% of a core over its whole run\n",
                convert ? "converted" : "raw", (ChildrenCpuSeconds() - cpu0) / wall * 100);
    std::fflush(stdout);
}

void Lean(CMainFrame& frame, viewertest::ScriptedPrompts& prompts, double seconds,
          const std::string& folder) {
    double load = 0;
    ::getloadavg(&load, 1);
    std::printf(
        "1024x768 YUV 4:2:2 at 15 fps, %.0f s each after %lld s of warm-up and the "
        "ring's first round; load average %.1f on %ld processors (a loaded machine makes "
        "these rough)\n",
        seconds, static_cast<long long>(kWarmUp.count() / 1000), load,
        ::sysconf(_SC_NPROCESSORS_ONLN));
    const struct {
        const char* name;
        Recording recording;
        double target;
    } runs[] = {{"displaying", Recording::None, 3},
                {"displaying + raw recording", Recording::Raw, 5},
                {"displaying + converted recording", Recording::Converted, 8}};
    for (const auto& run : runs) {
        Figures f;
        if (!Run(frame, prompts, {2, 1, 3}, run.recording, seconds, folder, f)) {
            std::printf("%s: connect failed\n", run.name);
            continue;
        }
        std::printf(
            "%-33s cpu %5.2f %% of a core (target %.0f %%: %s), window thread %5.2f %%, "
            "view %6.3f of %6.3f fps, ring %d frames\n",
            run.name, f.cpu, run.target, f.cpu <= run.target ? "met" : "MISSED", f.windowCpu,
            f.view, f.camera, f.ringFrames);
        std::fflush(stdout);
    }
    Reference(false, seconds, folder);
    Reference(true, seconds, folder);
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    bool lean = false;
    double seconds = 0;
    std::vector<Mode> modes;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--lean") == 0) lean = true;
        if (i + 1 >= argc) continue;
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
        if (std::strcmp(argv[i], "--mode") == 0) {
            Mode mode{};
            if (std::sscanf(argv[i + 1], "%d,%d,%d", &mode.size, &mode.color, &mode.rate) == 3)
                modes.push_back(mode);
        }
    }
    if (seconds <= 0) seconds = lean ? 30 : 10;
    if (modes.empty()) modes = OfferedModes();
    QApplication app(argc, argv);
    viewertest::PrivateSettings settings;
    testsupport::SimulatedBus bus;
    testsupport::TempDir folder{"kestrix-viewer-rates"};
    auto prompts = std::make_shared<viewertest::ScriptedPrompts>();
    CMainFrame frame(prompts);
    if (!bus.IsRunning() || !frame.Create()) return 1;
    frame.show();
    viewertest::WaitFor([&] { return frame.View()->Camera().GetDeviceCount(2) > 0; });
    if (lean)
        Lean(frame, *prompts, seconds, folder.Path().string());
    else
        Sweep(frame, *prompts, modes, seconds, folder.Path().string());
    return 0;
}
