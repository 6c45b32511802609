// The viewer on a private simulated camera: for every mode the video-setting dialog offers, the
// view rate (paints per second) against the camera's frame rate, with and without an AVI
// recording running, and the viewer process's CPU use. Prints one line per run.
//   viewer_rates [--seconds S (default 10)] [--mode SIZE,COLOR,RATE]...
#include <QApplication>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "tests/app/ViewerTestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Mode {
    int size, color, rate;
};

constexpr const char* kSizes[] = {"640x480", "800x600", "1024x768", "1360x1024"};
constexpr double kRates[] = {1.875, 3.75, 7.5, 15};

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

double CpuSeconds() {
    std::ifstream stat("/proc/self/stat");
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 1; i <= 15 && stat >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

void Run(CMainFrame& frame, viewertest::ScriptedPrompts& prompts, const Mode& mode, bool avi,
         double seconds, const std::string& folder) {
    CCameraView& view = *frame.View();
    prompts.video = CVideoSettingDlg::ChoiceFor(mode.size, mode.color, mode.rate);
    view.Camera().SetMemoryProbe([] { return std::uint32_t(256) << 20; });
    if (!view.RunCommand(cmd::kConnect) || !view.m_bConnected) {
        std::printf("%s %s %.3f: connect failed\n", kSizes[mode.size], mode.color ? "YUV" : "RGB",
                    kRates[mode.rate]);
        return;
    }
    frame.resize(frame.maximumSize());
    if (avi) {
        prompts.fileAnswers.push_back(QString::fromStdString(folder + "/rates.avi"));
        view.RunCommand(cmd::kAviOpen);
        view.RunCommand(cmd::kAviStart);
    }
    int paints = 0;
    const auto counter = QObject::connect(&view, &CCameraView::Painted, [&] { ++paints; });
    view.RunCommand(cmd::kStart);
    viewertest::WaitFor([] { return false; }, std::chrono::milliseconds(1500));  // settle
    paints = 0;
    const CDcamCaptureThread* capture = view.Camera().GetCaptureThread(0);
    const std::uint64_t stored0 = capture != nullptr ? capture->GetStats().stored : 0;
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    viewertest::WaitFor([] { return false; }, std::chrono::milliseconds(int(seconds * 1000)));
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpu0;
    QObject::disconnect(counter);
    // The camera's rate as it delivered frames (Format 7 runs at its own packet pace).
    const std::uint64_t stored = capture != nullptr ? capture->GetStats().stored - stored0 : 0;
    const double camera = double(stored) / wall;
    const double rate = paints / wall;
    std::printf("%-9s %-3s %-6s camera %6.3f fps  view %6.3f fps (%+5.1f %%)  %-9s cpu %5.1f %%\n",
                kSizes[mode.size], mode.color ? "YUV" : "RGB",
                mode.size == 3 ? "F7" : QByteArray::number(kRates[mode.rate]).constData(), camera,
                rate, (rate / camera - 1) * 100, avi ? "recording" : "", cpu / wall * 100);
    std::fflush(stdout);
    view.RunCommand(cmd::kStop);
    if (avi) view.RunCommand(cmd::kAviClose);
    view.RunCommand(cmd::kRelease);
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    double seconds = 10;
    std::vector<Mode> modes;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
        if (std::strcmp(argv[i], "--mode") == 0) {
            Mode mode{};
            if (std::sscanf(argv[i + 1], "%d,%d,%d", &mode.size, &mode.color, &mode.rate) == 3)
                modes.push_back(mode);
        }
    }
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
    for (const Mode& mode : modes) {
        for (bool avi : {false, true})
            Run(frame, *prompts, mode, avi, seconds, folder.Path().string());
    }
    return 0;
}
