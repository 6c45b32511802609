// Start-up and end of the viewer.
#include "app/CKestrixViewApp.h"

#include <QApplication>
#include <QIcon>
#include <QLabel>
#include <QTimer>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "app/CCameraGrid.h"
#include "app/CCameraView.h"
#include "app/CGridFrame.h"
#include "app/CMainFrame.h"
#include "app/CVideoSettingDlg.h"
#include "app/CommandIds.h"
#include "app/QtPrompts.h"
#include "app/SingleInstance.h"
#include "app/TerminationSignals.h"
#include "session/CameraInfo.h"
#include "session/CameraPick.h"
#include "common/PrivateBus.h"

namespace {

constexpr std::chrono::milliseconds kRaiseTimeout{3000};

// Answers the video-setting dialog with a fixed choice, for the unattended screenshot.
class FixedChoicePrompts : public QtPrompts {
public:
    explicit FixedChoicePrompts(VideoChoice choice) : m_choice(choice) {}
    bool ChooseVideoMode(QWidget*, VideoChoice& choice) override {
        choice = m_choice;
        return true;
    }

private:
    VideoChoice m_choice;
};

// The fitted screenshot's frame: smaller than 1360 x 1024, so that fitting has to shrink.
constexpr QSize kFitFrame{1100, 800};

void TakeScreenshot(CMainFrame& frame, const QString& file, bool fit) {
    frame.View()->RunCommand(cmd::kConnect);
    if (fit) frame.View()->RunCommand(cmd::kFitToWindow);
    frame.View()->RunCommand(cmd::kStart);
    frame.resize(fit ? kFitFrame : frame.maximumSize());  // fitted, or the whole picture at 1:1
    QTimer::singleShot(2000, &frame, [&frame, file, fit] {
        if (fit) {
            // Where the picture area lies in the saved window, for the end-to-end check.
            const QWidget* area = frame.View()->viewport();
            const QPoint at = area->mapTo(&frame, QPoint(0, 0));
            std::printf("picture area %d %d %d %d\n", at.x(), at.y(), area->width(),
                        area->height());
            std::fflush(stdout);
        }
        const bool saved = frame.grab().save(file);
        if (!saved) std::fprintf(stderr, "kestrixview: cannot save %s\n", qPrintable(file));
        QApplication::exit(saved ? 0 : 1);
    });
}

// A camera number below the table's size, or a GUID of 16 hex digits (an optional 0x before).
bool ParseCamera(std::string_view text, CKestrixViewApp::Options& options, std::string& error) {
    if (const auto pick = kestrix::session::CameraPick::Parse(text)) {
        options.cameraIndex = pick->index;
        options.cameraGuid = pick->guid.value_or(0);
        return true;
    }
    error = "--camera " + std::string(text) + ": give a camera number from 0 to " +
            std::to_string(kestrix::session::CameraPick::kMaxIndex - 1) +
            " or a GUID of 16 hex digits";
    return false;
}

// "all" or camera numbers separated by commas, each below the table's size and named once.
bool ParseCameraList(std::string_view text, CKestrixViewApp::Options& options,
                     std::string& error) {
    options.grid = true;
    options.cameras.clear();
    if (text == "all") {
        options.simulatedCameras = 2;
        return true;
    }
    for (std::size_t at = 0; at <= text.size();) {
        const std::size_t end = std::min(text.find(',', at), text.size());
        const auto pick = kestrix::session::CameraPick::Parse(text.substr(at, end - at));
        if (!pick || pick->guid ||
            std::find(options.cameras.begin(), options.cameras.end(), pick->index) !=
                options.cameras.end()) {
            error = "--cameras " + std::string(text) +
                    ": give all, or camera numbers from 0 to " +
                    std::to_string(kestrix::session::CameraPick::kMaxIndex - 1) +
                    " separated by commas, each once";
            return false;
        }
        options.cameras.push_back(pick->index);
        at = end + 1;
    }
    options.simulatedCameras =
        *std::max_element(options.cameras.begin(), options.cameras.end()) + 1;
    return true;
}

// A lone number N for --cameras on the simulated bus asks for N cameras, all shown.
void CountSimulatedCameras(CKestrixViewApp::Options& options) {
    if (!options.simulate || options.cameras.size() != 1 || options.cameras[0] == 0) return;
    options.simulatedCameras = options.cameras[0];
    options.cameras.clear();
    for (int camera = 0; camera < options.simulatedCameras; ++camera)
        options.cameras.push_back(camera);
}

// The grid's screenshot: every camera started, the window saved after the pictures settled,
// and each tile's picture area in the saved window printed on stdout.
void TakeGridScreenshot(CGridFrame& frame, const QString& file) {
    QTimer::singleShot(3000, &frame, [&frame, file] {
        const CCameraGrid* grid = frame.Grid();
        for (int tile = 0; tile < grid->TileCount(); ++tile) {
            const QRect area = grid->PictureRect(tile);
            const QPoint at = grid->mapTo(&frame, area.topLeft());
            std::printf("tile %d %d %d %d %d\n", tile, at.x(), at.y(), area.width(),
                        area.height());
        }
        std::fflush(stdout);
        const bool saved = frame.grab().save(file);
        if (!saved) std::fprintf(stderr, "kestrixview: cannot save %s\n", qPrintable(file));
        QApplication::exit(saved ? 0 : 1);
    });
}

int RunGrid(const CKestrixViewApp::Options& options, TerminationSignals& termination,
            const QString& busProblem) {
    CGridFrame frame(options.cameras);
    if (!frame.Create()) return 1;
    if (frame.Session().Count() == 0 && !busProblem.isEmpty())
        frame.StatusPane()->setText(busProblem);
    QObject::connect(&termination, &TerminationSignals::Received, &frame,
                     &CGridFrame::EndBySignal);
    frame.show();
    if (!options.screenshot.isEmpty()) TakeGridScreenshot(frame, options.screenshot);
    return QApplication::exec();
}

}  // namespace

const char* CKestrixViewApp::Usage() {
    return "Usage: kestrixview [--simulate] [--camera N|GUID | --cameras all|N,N...] [--help]\n"
           "                   [--version]\n"
           "Views, records and controls an IIDC 1394 camera.\n"
           "  --simulate       start a private simulated bus with one camera when no bus serves\n"
           "                   the device directory (KESTRIX_BUS_DIR), and stop it at exit;\n"
           "                   without it, a private FireWire bridge (kestrix-fwd) serves the\n"
           "                   machine's cameras when no bus daemon runs\n"
           "  --camera N|GUID  the camera to view: its number on the bus (default 0) or its\n"
           "                   16-digit GUID; one copy runs per camera\n"
           "  --cameras all|N,N...\n"
           "                   several cameras side by side in one window, started together;\n"
           "                   with --simulate, a single number is how many simulated cameras\n"
           "                   to show (all: two)\n"
           "  --help           show this text\n"
           "  --version        show the version\n";
}

std::string CKestrixViewApp::InstanceKey(const Options& options) {
    return SingleInstance::CameraKey(options.cameraIndex, options.cameraGuid);
}

std::optional<CKestrixViewApp::Options> CKestrixViewApp::Parse(int argc, char** argv,
                                                               std::string& error) {
    Options options;
    bool picked = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--camera") == 0 || std::strncmp(arg, "--camera=", 9) == 0) {
            const bool joined = arg[8] == '=';
            if (!joined && i + 1 >= argc) {
                error = "--camera needs a camera number or GUID (see --help)";
                return std::nullopt;
            }
            if (!ParseCamera(joined ? arg + 9 : argv[++i], options, error)) return std::nullopt;
            picked = true;
        } else if (std::strcmp(arg, "--cameras") == 0 || std::strncmp(arg, "--cameras=", 10) == 0) {
            const bool joined = arg[9] == '=';
            if (!joined && i + 1 >= argc) {
                error = "--cameras needs all or camera numbers (see --help)";
                return std::nullopt;
            }
            if (!ParseCameraList(joined ? arg + 10 : argv[++i], options, error))
                return std::nullopt;
        } else if (std::strcmp(arg, "--simulate") == 0) {
            options.simulate = true;
        } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            options.help = true;
        } else if (std::strcmp(arg, "--version") == 0) {
            options.version = true;
        } else if (std::strcmp(arg, "--screenshot") == 0 && i + 1 < argc) {
            options.screenshot = QString::fromLocal8Bit(argv[++i]);
        } else if (std::strcmp(arg, "--screenshot-fit") == 0) {
            options.screenshotFit = true;
        } else if (std::strncmp(arg, "-platform", 9) == 0 && i + 1 < argc) {
            ++i;  // Qt's own option
        } else {
            error = std::string("unknown option ") + arg + " (see --help)";
            return std::nullopt;
        }
    }
    if (picked && options.grid) {
        error = "--camera and --cameras exclude each other: one camera or the grid";
        return std::nullopt;
    }
    CountSimulatedCameras(options);
    return options;
}

int CKestrixViewApp::Run(int argc, char** argv) {
    std::string error;
    const auto options = Parse(argc, argv, error);
    if (!options) {
        std::fprintf(stderr, "kestrixview: %s\n", error.c_str());
        return 2;
    }
    if (options->help || options->version) {
        std::fputs(options->help ? Usage() : "kestrixview " KESTRIX_VERSION "\n", stdout);
        return 0;
    }
    // The grid takes the lock of each camera it shows once it knows them.
    SingleInstance instance(InstanceKey(*options));
    if (!options->grid && !instance.Claim()) {
        // Another copy runs: it comes to the front and this one ends quietly.
        instance.AskFirstToRaise(kRaiseTimeout);
        return 0;
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);  // a file-size limit becomes a failed write, reported
    // Before the Qt application, while no other thread exists; it outlives the frame.
    PrivateBus bus;
    bus.SetCameras(options->simulatedCameras);
    if (options->simulate && !bus.StartUnlessRunning(error)) {
        std::fprintf(stderr, "kestrixview: %s\n", error.c_str());
        return 1;
    }
    // Without --simulate, the machine's FireWire cameras through a bridge of its own when no bus
    // daemon runs. The window opens whatever happens: the line says why it finds no camera.
    QString busProblem;
    if (!options->simulate && !bus.StartUnlessRunning(error, PrivateBus::Daemon::FireWire)) {
        std::fprintf(stderr, "kestrixview: %s\n", error.c_str());
        busProblem = QString::fromStdString(error) + ".";
        busProblem[0] = busProblem[0].toUpper();
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName("KestrixView");
    QApplication::setWindowIcon(QIcon(":/kestrixview.png"));
    // In place before a second copy can find this one, so that a signal from now on ends the
    // program in order; one that comes before the window's loop runs waits in the pipe.
    TerminationSignals termination;
    if (options->grid) return RunGrid(*options, termination, busProblem);
    instance.Listen();

    std::shared_ptr<ViewerPrompts> prompts;
    if (!options->screenshot.isEmpty()) {
        // 1360 x 1024 RGB when fitting, else the dialog's initial choice.
        prompts = std::make_shared<FixedChoicePrompts>(options->screenshotFit
                                                           ? CVideoSettingDlg::ChoiceFor(3, 0, 3)
                                                           : ViewerPrompts::VideoChoice{});
    }
    CMainFrame frame(prompts);
    frame.View()->Session().SetCameraPick({options->cameraIndex, options->cameraGuid});
    frame.View()->SetBusProblem(busProblem);
    // A camera picked in Camera Format moves this copy to that camera's key, unless another copy
    // shows it: that one comes to the front instead.
    frame.View()->SetCameraClaim([&instance](int camera) {
        Options picked;
        picked.cameraIndex = camera;
        const std::string key = InstanceKey(picked);
        if (instance.Move(key)) return true;
        SingleInstance(key).AskFirstToRaise(kRaiseTimeout);
        return false;
    });
    QObject::connect(&instance, &SingleInstance::RaiseRequested, &frame, &CMainFrame::RaiseWindow);
    if (!frame.Create()) return 1;
    // Termination ends the loop in order: the recording finished, the camera released, and the
    // private bus stopped when `bus` goes.
    QObject::connect(&termination, &TerminationSignals::Received, &frame,
                     &CMainFrame::EndBySignal);
    frame.show();
    if (!options->screenshot.isEmpty())
        TakeScreenshot(frame, options->screenshot, options->screenshotFit);
    return app.exec();
}
