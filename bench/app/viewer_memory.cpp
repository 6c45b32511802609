// The viewer's memory over a long run that switches modes: 20 times Connect in the next mode the
// video-setting dialog offers, Start, record raw into an AVI file for a few seconds, Stop, Close
// and Release. Prints the resident memory after each switch and the peak, against the bound a
// run must keep: the largest ring plus 100 MB.
//   viewer_memory [--switches N (default 20)] [--seconds S per switch (default 3)]
#include <QApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/app/ViewerBench.h"
#include "tests/app/ViewerTestSupport.h"

namespace {

struct Mode {
    int size, color, rate;
};

// One of each size and coding, at the fastest rate the dialog offers for it.
constexpr Mode kModes[] = {{0, 0, 3}, {0, 1, 3}, {1, 0, 3}, {1, 1, 3},
                           {2, 0, 2}, {2, 1, 3}, {3, 0, 2}, {3, 1, 2}};
constexpr std::uint32_t kMemory = std::uint32_t(1) << 30;  // as free memory for the ring share
constexpr double kMB = 1e6;

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int switches = 20;
    double seconds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--switches") == 0) switches = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    }
    QApplication app(argc, argv);
    viewertest::PrivateSettings settings;
    testsupport::SimulatedBus bus;
    testsupport::TempDir folder{"kestrix-viewer-memory"};
    const std::string file = (folder.Path() / "switch.avi").string();
    auto prompts = std::make_shared<viewertest::ScriptedPrompts>();
    CMainFrame frame(prompts);
    if (!bus.IsRunning() || !frame.Create()) return 1;
    frame.show();
    CCameraView& view = *frame.View();
    viewertest::WaitFor([&] { return view.Camera().GetDeviceCount(2) > 0; });
    view.Camera().SetMemoryProbe([] { return kMemory; });
    std::printf("resident at start %.0f MB; each switch records %.0f s\n",
                double(viewerbench::StatusBytes("VmRSS")) / kMB, seconds);
    std::uint64_t largestRing = 0;
    for (int i = 0; i < switches; ++i) {
        const Mode& mode = kModes[i % std::size(kModes)];
        prompts->video = CVideoSettingDlg::ChoiceFor(mode.size, mode.color, mode.rate);
        if (!view.RunCommand(cmd::kConnect) || !view.m_bConnected) {
            std::printf("switch %d: connect failed\n", i + 1);
            return 1;
        }
        if (const CDcamCaptureThread* capture = view.Camera().GetCaptureThread(0)) {
            largestRing = std::max(largestRing,
                                   std::uint64_t(capture->GetSlotCount()) * capture->GetSlotSize());
        }
        prompts->fileAnswers.push_back(QString::fromStdString(file));
        prompts->answerYes = false;
        view.RunCommand(cmd::kAviOpen);
        view.RunCommand(cmd::kAviStart);
        view.RunCommand(cmd::kStart);
        viewerbench::RunLoopFor(std::chrono::milliseconds(int(seconds * 1000)));
        view.RunCommand(cmd::kStop);
        view.RunCommand(cmd::kAviClose);
        view.RunCommand(cmd::kRelease);
        std::remove(file.c_str());
        std::printf("switch %2d %-9s: resident %6.0f MB, peak %6.0f MB\n", i + 1,
                    view.Session().ModeText().toStdString().c_str(),
                    double(viewerbench::StatusBytes("VmRSS")) / kMB,
                    double(viewerbench::StatusBytes("VmHWM")) / kMB);
        std::fflush(stdout);
    }
    const double peak = double(viewerbench::StatusBytes("VmHWM")) / kMB;
    const double bound = double(largestRing) / kMB + 100;
    std::printf("peak resident %.0f MB over %d switches; largest ring %.0f MB, bound %.0f MB: %s\n",
                peak, switches, double(largestRing) / kMB, bound,
                peak <= bound ? "kept" : "EXCEEDED");
    return 0;
}
