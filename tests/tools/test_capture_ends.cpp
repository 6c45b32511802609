// kestrix-capture's honest ends: outputs the system would refuse are refused before the camera
// starts, a recording whose file vanished and a summary that cannot be written are failures,
// --frames N means N frames at any rate, a camera beyond the library's reach is counted right,
// and a camera is claimed by its identity, not by the name it is reached by.
#include "tests/tools/CaptureToolRun.h"

#include "tests/support/SimulatedBus.h"

namespace {

using namespace capturetest;
using namespace std::chrono_literals;
using testsupport::SimulatedBus;

// The counter the simulated camera stamped into the RGB frame a 640 x 480 BMP shows.
std::uint32_t BmpStamp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> bmp{std::istreambuf_iterator<char>(in), {}};
    if (bmp.size() < 54) return 0;
    // Bottom-up rows of blue, green, red: the frame's first bytes are the last row's start.
    const std::size_t top = platform::LoadLE32(&bmp[10]) + 479 * 640 * 3;
    if (bmp.size() < top + 6) return 0;
    return std::uint32_t(bmp[top + 2]) << 24 | std::uint32_t(bmp[top + 1]) << 16 |
           std::uint32_t(bmp[top]) << 8 | bmp[top + 5];
}

TEST_F(KestrixCapture, OutputsTheSystemWouldRefuseAreRefusedBeforeTheCameraStarts) {
    SimulatedBus bus(1);
    ASSERT_TRUE(bus.IsRunning());
    ExpectFailure({"--frames", "1", "--avi", File(std::string(300, 'a') + ".avi")}, 5);
    ExpectFailure({"--frames", "1", "--jpeg", "/proc/kestrix-capture-test.jpg"}, 5);
    // The camera never sent a frame.
    EXPECT_NE(bus.Busctl({"status"}).output.find("idle, frames 0"), std::string::npos);
}

TEST_F(KestrixCapture, ARecordingWhoseFolderIsRemovedFailsAndSaysTheFileIsGone) {
    SimulatedBus bus(1);
    ASSERT_TRUE(bus.IsRunning());
    fs::create_directory(m_dir.Path() / "out");
    const std::string avi = File("out/gone.avi");
    ToolRun tool(m_dir.Path(), {"--seconds", "60", "--avi", avi});
    ASSERT_TRUE(WaitForFileSize(avi, 2 * kRgbVgaBytes)) << "no frame recorded";
    fs::remove_all(m_dir.Path() / "out");
    const auto result = tool.Wait();
    EXPECT_EQ(result.exitCode, 5) << result.errors;
    EXPECT_NE(result.errors.find("the file is gone"), std::string::npos) << result.errors;
}

TEST_F(KestrixCapture, ASummaryThatCannotBeWrittenFailsTheRun) {
    SimulatedBus bus(1);
    ASSERT_TRUE(bus.IsRunning());
    for (const char* redirect : {">&-", ">/dev/full"}) {
        for (const char* json : {"--frames=1", "--json"}) {
            const auto result =
                ToolRun(m_dir.Path(),
                        {"-c", std::string("exec \"$0\" --frames 1 ") + json + " " + redirect,
                         KESTRIX_CAPTURE_PATH},
                        RLIM_INFINITY, "/bin/sh")
                    .Wait();
            EXPECT_EQ(result.exitCode, 1) << redirect << " " << json << ": " << result.errors;
            EXPECT_NE(result.errors.find("cannot write to standard output"), std::string::npos)
                << result.errors;
        }
    }
}

TEST_F(KestrixCapture, FramesNMeansNFramesAtAnyRate) {
    SimulatedBus bus(1, 30);
    ASSERT_TRUE(bus.IsRunning());
    const auto counted = Run({"--frames", "300"});
    ASSERT_EQ(counted.exitCode, 0) << counted.errors;
    EXPECT_EQ(ParseSummary(counted.output).frames, 300) << counted.output;
    // The still shows the run's last frame, not one that came while the camera was stopped.
    const std::string avi = File("last.avi"), bmp = File("last.bmp");
    const auto recorded = Run({"--frames", "60", "--avi", avi, "--bmp", bmp});
    ASSERT_EQ(recorded.exitCode, 0) << recorded.errors;
    const auto stamps = Stamps(avi);
    ASSERT_EQ(stamps.size(), 60u);
    EXPECT_EQ(BmpStamp(bmp), stamps.back());
}

// A driver that stalls for a moment loses frames without a failed read: the frames' cycle
// stamps count them, as many as the camera's counter skipped in the file. After a second of
// silence the stream asks the driver, which answers once it runs again, well within the
// request's second: the run goes on.
TEST_F(KestrixCapture, FramesLostWhileTheDriverStallsAreCountedByTime) {
    SimulatedBus bus(1);
    ASSERT_TRUE(bus.IsRunning());
    const std::string avi = File("stall.avi");
    ToolRun tool(m_dir.Path(), {"--frames", "45", "--avi", avi});
    ASSERT_TRUE(WaitForFileSize(avi, 2 * kRgbVgaBytes)) << "no frame recorded";
    ::kill(bus.Pid(), SIGSTOP);
    std::this_thread::sleep_for(1200ms);
    ::kill(bus.Pid(), SIGCONT);
    const auto result = tool.Wait();
    ASSERT_EQ(result.exitCode, 0) << result.errors;
    const Summary summary = ParseSummary(result.output);
    const auto stamps = Stamps(avi);
    ASSERT_EQ(stamps.size(), 45u);
    const long skipped = long(stamps.back() - stamps.front() + 1) - 45 - summary.dropped;
    // The daemon catches up on some of the frames due while it was stopped.
    EXPECT_GE(skipped, 5);
    EXPECT_EQ(summary.lost, skipped) << result.output;
}

TEST_F(KestrixCapture, ABusOutOfBandwidthRefusesTheModeAndSaysByHowMuch) {
    SimulatedBus bus(2);
    ASSERT_TRUE(bus.IsRunning());
    const std::string avi = File("wide.avi");
    // 1024 x 768 YUV 4:2:2 at 15 fps: 3072-byte packets, 3340 of the bus's 4915 units.
    const std::vector<std::string> wide{"--mode", "1024x768-yuv422", "--rate", "15"};
    std::vector<std::string> first = wide;
    first.insert(first.end(), {"--seconds", "60", "--avi", avi});
    ToolRun tool(m_dir.Path(), first);
    ASSERT_TRUE(WaitForFileSize(avi, 1024 * 768 * 2)) << "no frame recorded";
    fs::create_directory(m_dir.Path() / "second");
    std::vector<std::string> second = wide;
    second.insert(second.end(), {"--camera", "1", "--frames", "1"});
    const auto refused = ToolRun(m_dir.Path() / "second", second).Wait();
    EXPECT_EQ(refused.exitCode, 4);
    // The kernel's bridge knows the need but not what the bus has left.
    const std::string left = SimulatedBus::OverFakeKernel() ? "fewer" : "1575";
    EXPECT_EQ(refused.errors, "kestrix-capture: 1024x768-yuv422 at 15 fps needs 3340 bandwidth "
                              "units, the bus has " + left + " left\n");
    tool.Signal(SIGINT);
    EXPECT_EQ(tool.Wait().exitCode, 130);
}

TEST_F(KestrixCapture, ACameraBeyondTheLibrarysReachNamesTheBusesCount) {
    SimulatedBus bus(20);
    ASSERT_TRUE(bus.IsRunning());
    const auto result = Run({"--camera", "15"});
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_EQ(result.errors,
              "kestrix-capture: no camera 15: the camera library reaches 10 of the bus's 20 "
              "units, 10 cameras among them (see --list)\n");
}

TEST_F(KestrixCapture, AnotherNameOfTheUnitCannotCutARecording) {
    SimulatedBus bus(1);
    ASSERT_TRUE(bus.IsRunning());
    // Listed after the unit, as camera 1.
    fs::create_symlink(bus.UnitPaths().at(0), bus.Dir() / "unit-alias");
    const std::string avi = File("first.avi");
    ToolRun first(m_dir.Path(), {"--seconds", "60", "--avi", avi});
    ASSERT_TRUE(WaitForFileSize(avi, 2 * kRgbVgaBytes)) << "no frame recorded";
    fs::create_directory(m_dir.Path() / "second");
    const auto second = ToolRun(m_dir.Path() / "second", {"--camera", "1", "--frames", "1"}).Wait();
    EXPECT_EQ(second.exitCode, 7) << second.errors;
    first.Signal(SIGINT);
    const auto result = first.Wait();
    EXPECT_EQ(result.exitCode, 130) << result.errors;
    ExpectConsecutive(Stamps(avi));
}

}  // namespace
