// How the viewer ends when nobody asks through its menus: a termination signal, a bus driver
// that dies or stalls. Each time the recording is finished and readable, the camera released.
#include <signal.h>
#include <stdlib.h>

#include <filesystem>

#include "app/TerminationSignals.h"
#include "files/CameraFiles.h"
#include "tests/app/ViewerProcess.h"
#include "tests/app/ViewerTestSupport.h"

namespace viewertest {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class ProgramEndTest : public ViewerTest {
protected:
    // Records into name until the recorder holds frames.
    void Record(const std::string& name, int frames) {
        m_prompts->fileAnswers.push_back(QString::fromStdString((m_files.Path() / name).string()));
        ASSERT_TRUE(View().RunCommand(cmd::kAviOpen));
        ASSERT_TRUE(View().RunCommand(cmd::kAviStart));
        ASSERT_TRUE(View().RunCommand(cmd::kStart));
        ASSERT_TRUE(WaitFor([&] { return files::GetAviFrameCount(View().Camera(), 0) >= frames; }));
    }
    // The driver's end reaches the user as a device change, the recording whole.
    void ExpectReleasedWithReadableFile(const std::string& name) {
        ASSERT_TRUE(WaitFor([&] { return !m_prompts->messages.empty(); }));
        EXPECT_EQ(m_prompts->messages[0], "The notice of device change was detected.");
        EXPECT_FALSE(View().m_bConnected);
        EXPECT_GE(ProbeFrames(m_files.Path() / name), 5);
    }
    testsupport::TempDir m_files{"kestrix-view-files"};
};

TEST_F(ProgramEndTest, HangupWhileRecordingFinishesTheFile) {
    TerminationSignals termination;
    ASSERT_TRUE(termination.IsValid());
    QObject::connect(&termination, &TerminationSignals::Received, m_frame.get(),
                     &CMainFrame::EndBySignal);
    ASSERT_TRUE(Connect());
    Record("hangup.avi", 5);
    ::raise(SIGHUP);
    ASSERT_TRUE(WaitFor([&] { return !View().m_bConnected; }));
    EXPECT_GE(ProbeFrames(m_files.Path() / "hangup.avi"), 5);
    EXPECT_TRUE(m_prompts->messages.empty());
}

TEST_F(ProgramEndTest, KilledDriverReleasesAndLeavesAReadableFile) {
    ASSERT_TRUE(Connect());
    Record("killed.avi", 5);
    m_bus.Kill();
    ExpectReleasedWithReadableFile("killed.avi");
}

TEST_F(ProgramEndTest, StalledDriverReleasesAndLeavesAReadableFile) {
    ASSERT_TRUE(Connect());
    Record("stalled.avi", 5);
    ::kill(m_bus.Pid(), SIGSTOP);
    ExpectReleasedWithReadableFile("stalled.avi");
    ::kill(m_bus.Pid(), SIGCONT);
}

// A driver that stalls for a moment and comes back loses frames without a failed read: the
// statistics count them as lost by the frames' cycle stamps, as every front end does, and the
// connection goes on.
TEST_F(ProgramEndTest, FramesAStallingDriverLostAreCountedLost) {
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(View().RunCommand(cmd::kStart));
    ASSERT_TRUE(WaitFor([&] { return View().SampleStatistics().received >= 3; }));
    ::kill(m_bus.Pid(), SIGSTOP);
    // Long enough for frames to go by, short enough for the driver to answer the stream's
    // question within the request's second.
    std::this_thread::sleep_for(1200ms);
    ::kill(m_bus.Pid(), SIGCONT);
    ASSERT_TRUE(WaitFor([&] { return View().SampleStatistics().lost >= 3; }))
        << View().Statistics().lost;
    EXPECT_TRUE(View().m_bConnected);
    EXPECT_TRUE(m_prompts->messages.empty());
}

// The real program on its own private bus: SIGTERM ends it with 143 and the bus goes with it.
TEST(ViewerProgram, TerminationStopsThePrivateBusAndExits143) {
    testsupport::TempDir runtime{"kestrix-view-runtime"};
    testsupport::TempDir unserved{"kestrix-view-nobus"};
    ::setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", runtime.Path().c_str(), 1);
    ::setenv("KESTRIX_BUS_DIR", unserved.Path().c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const auto privateBuses = [&] {
        int count = 0;
        for (const auto& entry : fs::directory_iterator(runtime.Path()))
            count += entry.path().filename().string().starts_with("kestrix-capture-");
        return count;
    };
    // The copy's socket shows that its handlers are in place.
    const fs::path listening =
        runtime.Path() / ("kestrixview-" + std::to_string(::getuid()) + ".sock");
    ViewerProcess viewer({"--simulate"});
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (!fs::exists(listening) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(fs::exists(listening));
    ASSERT_EQ(privateBuses(), 1);
    viewer.Signal(SIGTERM);
    EXPECT_EQ(viewer.Wait(20s), 128 + SIGTERM);
    EXPECT_EQ(privateBuses(), 0);
}

}  // namespace
}  // namespace viewertest
