// Shared pieces of the viewer suites: scripted prompts, a main frame on a private simulated bus
// with private settings, and bounded waits that keep Qt's loop running.
#pragma once

#include <QApplication>
#include <QLabel>
#include <QSettings>
#include <QTest>

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/CCameraView.h"
#include "app/CMainFrame.h"
#include "app/CVideoSettingDlg.h"
#include "app/CommandIds.h"
#include "app/ViewerPrompts.h"
#include "tests/support/SimulatedBus.h"
#include "tests/support/TempDir.h"

namespace viewertest {

// Answers from a script and keeps what was asked.
class ScriptedPrompts : public ViewerPrompts {
public:
    struct FileQuestion {
        QString title, filter, suffix;
    };

    QString SaveFileName(QWidget*, const QString& title, const QString& filter,
                         const QString& suffix) override {
        fileQuestions.push_back({title, filter, suffix});
        if (fileAnswers.empty()) return {};
        QString answer = fileAnswers.front();
        fileAnswers.pop_front();
        return answer;
    }
    void Message(QWidget*, const QString& text, Icon icon) override {
        messages.push_back(text);
        icons.push_back(icon);
    }
    bool AskYesNo(QWidget*, const QString& text) override {
        questions.push_back(text);
        return answerYes;
    }
    bool ChooseVideoMode(QWidget*, VideoChoice& choice) override {
        ++videoDialogs;
        if (!acceptVideo) return false;
        choice = video;
        return true;
    }

    std::deque<QString> fileAnswers;
    std::vector<FileQuestion> fileQuestions;
    std::vector<QString> messages;
    std::vector<Icon> icons;
    std::vector<QString> questions;
    bool answerYes = false;
    bool acceptVideo = true;
    VideoChoice video;
    int videoDialogs = 0;
};

// Runs Qt's loop until done() holds, at most timeout; false when time ran out.
inline bool WaitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QTest::qWait(5);
    }
    return true;
}

inline std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin";
    for (std::size_t at = 0; at <= dirs.size();) {
        const std::size_t end = std::min(dirs.find(':', at), dirs.size());
        const auto candidate = std::filesystem::path(dirs.substr(at, end - at)) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
        at = end + 1;
    }
    return name;
}

// Frames ffprobe counts in the file's video stream; -1 when it cannot read the file.
inline int ProbeFrames(const std::filesystem::path& file) {
    const auto result = testsupport::SimulatedBus::RunProgram(
        {FindProgram("ffprobe"), "-v", "error", "-count_packets", "-select_streams", "v:0",
         "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", file.string()});
    if (!result.Ok() || result.output.empty()) return -1;
    return std::stoi(result.output);
}

// Settings of the test in a folder of its own.
class PrivateSettings {
public:
    PrivateSettings() {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString(m_dir.Path().string()));
    }
    static QSettings Open() { return QSettings("Tarnwell", "KestrixView"); }

private:
    testsupport::TempDir m_dir{"kestrix-view-settings"};
};

// A main frame on a private bus (cameras as asked), shown offscreen, with scripted prompts.
class ViewerTest : public ::testing::Test {
protected:
    // busArguments: more kestrix-busd options (--model generic).
    explicit ViewerTest(unsigned cameras = 1, double rateScale = 1.0,
                        std::vector<std::string> busArguments = {})
        : m_bus([&] {
              testsupport::SimulatedBus::Options options;
              options.cameras = cameras;
              options.rateScale = rateScale;
              options.extraArguments = std::move(busArguments);
              return options;
          }()) {}

    void SetUp() override {
        ASSERT_TRUE(m_bus.IsRunning());
        MakeFrame();
    }

    void MakeFrame(unsigned cameras = 1) {
        m_frame = std::make_unique<CMainFrame>(m_prompts, [this] { return m_tick; });
        ASSERT_TRUE(m_frame->Create());
        m_frame->show();
        ASSERT_TRUE(WaitFor([&] {
            return View().Camera().GetDeviceCount(C1394Dcam::kCameraDevices) == int(cameras);
        }));
    }

    CCameraView& View() { return *m_frame->View(); }
    QString Pane(int index) { return m_frame->Pane(index)->text(); }

    // A ring of `frames` slots for the mode chosen next: the memory figure is made to fit.
    void RingOf(int frames, int frameBytes) {
        // Half the memory (the default buffer rate) holds frames and a half.
        const std::uint32_t memory = std::uint32_t(frameBytes) * std::uint32_t(2 * frames + 1);
        View().Camera().SetMemoryProbe([memory] { return memory; });
    }
    // Connects in mode (640 x 480 RGB 15 fps by default) with a ring of 20.
    bool Connect(int size = 0, int color = 0, int rate = 3) {
        m_prompts->video = CVideoSettingDlg::ChoiceFor(size, color, rate);
        const int bytes = m_prompts->video.nModeIndex < 24
                              ? C1394Dcam::GetModeFrameBytes(m_prompts->video.nModeIndex)
                              : 1360 * 1024 * (color == 0 ? 3 : 2);
        RingOf(20, bytes);
        return View().RunCommand(cmd::kConnect) && View().m_bConnected;
    }
    bool WaitForFrame() {
        return WaitFor([&] { return View().m_nCurrentIndex >= 0; });
    }
    // Streams until a frame is shown, then stops.
    bool StreamAndStop() {
        View().RunCommand(cmd::kStart);
        const bool shown = WaitForFrame();
        View().RunCommand(cmd::kStop);
        return shown;
    }
    void PressKey(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(&View(), key, modifiers);
    }

    PrivateSettings m_settings;
    testsupport::SimulatedBus m_bus;
    std::shared_ptr<ScriptedPrompts> m_prompts = std::make_shared<ScriptedPrompts>();
    std::uint32_t m_tick = 1000;
    std::unique_ptr<CMainFrame> m_frame;
};

}  // namespace viewertest
