// kestrix-capture run as a program: every documented exit status with its one-line error,
// --list and every mode it lists, two cameras at once, --json, --get and --set, a recording on a
// simulated bus of its own checked with ffprobe, and recordings cut short by an unplug, a bus
// reset, a signal or a full disk, each leaving a readable file. Also --help and --version of
// the three tools.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/support/SimulatedBus.h"
#include "tests/tools/CaptureToolRun.h"

namespace {

using namespace capturetest;
using namespace std::chrono_literals;
using testsupport::SimulatedBus;

TEST_F(KestrixCapture, BadArgumentsExitWithStatus2) {
    const auto help = Run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* status : {"0 ", "1 ", "2 ", "3 ", "4 ", "5 ", "6 ", "7 ", "8 ", "128+N "}) {
        EXPECT_NE(help.output.find("\n  " + std::string(status)), std::string::npos) << status;
    }
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"--bogus"},
                                               {"--frames"},
                                               {"--frames", "0"},
                                               {"--mode", "640x480"},
                                               {"--buffer-percent", "95"},
                                               {"--frames", "3", "--seconds", "1"},
                                               {"--convert"},
                                               {"--fourcc", "standard"},
                                               {"--avi", "a.avi", "--fourcc", "uyvy"},
                                               {"--avi", "a.avi", "--convert", "--fourcc",
                                                "camera"},
                                               {"stray"},
                                               {"--camera", "-1"},
                                               {"--get", "exposure"},
                                               {"--set", "brightness"},
                                               {"--set", "brightness=abc"},
                                               {"--set", "trigger=auto"}}) {
        ExpectFailure(args, 2);
    }
}

TEST_F(KestrixCapture, RefusesOneFileForTwoOutputs) {
    // However the second output spells the first one's file, nothing is written over it.
    const std::string first = File("first");
    std::ofstream(first) << "kept";
    fs::create_symlink(first, File("link"));
    const std::string dotted = (m_dir.Path() / "." / "first").string();
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--frames", "5", "--avi", first, "--jpeg", first},
             {"--bmp", first, "--jpeg", dotted},
             {"--avi", File("link"), "--bmp", first},
             {"--avi", File("new.avi"), "--jpeg", (m_dir.Path() / "." / "new.avi").string()}}) {
        ExpectFailure(args, 2);
    }
    std::ifstream in(first);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "kept");
    EXPECT_FALSE(fs::exists(File("new.avi")));
}

TEST_F(KestrixCapture, EachFailureHasItsStatus) {
    {
        // No bus at all: an empty device directory.
        testsupport::TempDir none("kestrix-nobus");
        ::setenv("KESTRIX_BUS_DIR", none.Path().c_str(), 1);
        ExpectFailure({"--frames", "1"}, 3);
        ::unsetenv("KESTRIX_BUS_DIR");
    }
    SimulatedBus bus(1, 4);
    ASSERT_TRUE(bus.IsRunning());
    ExpectFailure({"--mode", "800x600-rgb", "--rate", "1.875"}, 4);
    ExpectFailure({"--mode", "1024x768-rgb", "--rate", "15"}, 4);
    ExpectFailure({"--mode", "2048x1536-mono8"}, 4);
    ExpectFailure({"--camera", "1"}, 3);
    ExpectFailure({"--avi", File("missing/x.avi")}, 5);
    ExpectFailure({"--jpeg", m_dir.Path().string()}, 5);
    EXPECT_FALSE(fs::exists(File("missing")));
    // A FIFO would block the open for ever.
    ASSERT_EQ(::mkfifo(File("fifo").c_str(), 0600), 0);
    ExpectFailure({"--avi", File("fifo")}, 5);
    // 640 x 480 RGB at 15 fps sends 1920 bytes a packet, more than S100 carries.
    const auto slow = Run({"--speed", "100"});
    EXPECT_EQ(slow.exitCode, 4);
    EXPECT_NE(slow.errors.find("bytes per packet, S100 carries 1024"), std::string::npos)
        << slow.errors;
    {
        // A still that does not fit says why.
        const auto result = ToolRun(m_dir.Path(), {"--bmp", File("big.bmp")}, 100000).Wait();
        EXPECT_EQ(result.exitCode, 5) << result.errors;
        EXPECT_NE(result.errors.find(std::strerror(EFBIG)), std::string::npos) << result.errors;
    }
    ASSERT_TRUE(bus.Busctl({"remove", "0"}).Ok());
    ExpectFailure({"--frames", "1"}, 3);
    ExpectFailure({"--list"}, 3);
}

TEST_F(KestrixCapture, ListsEveryCameraWithItsModes) {
    SimulatedBus bus(2);
    ASSERT_TRUE(bus.IsRunning());
    // A bus that runs already is used, not a private one.
    const auto result = Run({"--list", "--simulate"});
    ASSERT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_NE(result.output.find("camera 0: "), std::string::npos);
    EXPECT_NE(result.output.find("camera 1: "), std::string::npos);
    EXPECT_NE(result.output.find(bus.UnitPaths().at(1)), std::string::npos);
    EXPECT_NE(result.output.find("  640x480-rgb (mode 4): 3.75 7.5 15 30 fps\n"), std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("  1360x1024-mono8 (mode 24, Format 7):"), std::string::npos);
}

TEST_F(KestrixCapture, RecordsOnASimulatedBusOfItsOwn) {
    testsupport::TempDir none("kestrix-nobus");
    ::setenv("KESTRIX_BUS_DIR", none.Path().c_str(), 1);
    const auto result = Run({"--simulate", "--frames", "10", "--avi", File("movie.avi"), "--jpeg",
                             File("still.jpg"), "--bmp", File("still.bmp")});
    ::unsetenv("KESTRIX_BUS_DIR");
    ASSERT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_TRUE(result.errors.empty()) << result.errors;
    EXPECT_EQ(SummaryFrames(result.output), 10) << result.output;
    EXPECT_EQ(filestest::EntriesIn(none.Path()), 0u) << "the private bus lived elsewhere";

    auto stream = filestest::ProbeStream(File("movie.avi"));
    EXPECT_EQ(stream["codec_tag_string"], "dcr1");
    EXPECT_EQ(stream["nb_read_packets"], "10");
    EXPECT_EQ(stream["r_frame_rate"], "15/1");
    const auto stamps = Stamps(File("movie.avi"));
    EXPECT_EQ(stamps.size(), 10u);
    ExpectConsecutive(stamps);
    auto still = filestest::ProbeStream(File("still.jpg"));
    EXPECT_EQ(still["width"] + "x" + still["height"], "640x480");
    EXPECT_EQ(fs::file_size(File("still.bmp")), 921654u);
}

TEST_F(KestrixCapture, FourccStandardTagsRawFramesAsDecodersKnowThem) {
    const auto result = Run({"--simulate", "--mode", "320x240-yuv422", "--rate", "30", "--frames",
                             "2", "--avi", File("movie.avi"), "--fourcc", "standard"});
    ASSERT_EQ(result.exitCode, 0) << result.errors;
    auto stream = filestest::ProbeStream(File("movie.avi"));
    EXPECT_EQ(stream["codec_tag_string"] + " " + stream["pix_fmt"], "UYVY uyvy422");
    EXPECT_EQ(stream["nb_read_frames"], "2");
}

// Everything in the folder whose name starts with prefix.
std::vector<fs::path> Named(const fs::path& folder, const std::string& prefix) {
    std::vector<fs::path> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0) found.push_back(entry.path());
    }
    return found;
}

TEST_F(KestrixCapture, ASimulatedBusKilledWithItsOwnerIsSweptAtTheNextStart) {
    testsupport::TempDir none("kestrix-nobus");
    testsupport::TempDir runtime("kestrix-runtime");
    ::setenv("KESTRIX_BUS_DIR", none.Path().c_str(), 1);
    const char* savedRuntime = std::getenv("XDG_RUNTIME_DIR");
    const std::string previousRuntime = savedRuntime ? savedRuntime : "";
    ::setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
    {
        ToolRun killed(m_dir.Path(), {"--simulate", "--seconds", "120", "--avi", File("k.avi")});
        ASSERT_TRUE(WaitForFileSize(File("k.avi"), kRgbVgaBytes)) << "no frame recorded";
        killed.Signal(SIGKILL);
    }
    const auto left = Named(runtime.Path(), "kestrix-capture-");
    ASSERT_EQ(left.size(), 1u) << "the private bus lives in XDG_RUNTIME_DIR";
    const std::string space = "capture-" + left[0].filename().string().substr(16);
    const std::string shm = "kestrix-" + std::to_string(::getuid()) + "-" + space + "-";
    EXPECT_FALSE(Named("/dev/shm", shm).empty());
    // Its daemon follows its owner; the next start sweeps what both left.
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (fs::exists(left[0] / ".busd.lock") && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(20ms);
    }
    const auto next = Run({"--simulate", "--list"});
    EXPECT_EQ(next.exitCode, 0) << next.errors;
    EXPECT_TRUE(Named(runtime.Path(), "kestrix-capture-").empty());
    EXPECT_TRUE(Named("/dev/shm", shm).empty());
    EXPECT_TRUE(Named("/dev/shm", "kestrix-guard-" + std::to_string(::getuid()) + "-" + space)
                    .empty());
    ::unsetenv("KESTRIX_BUS_DIR");
    if (savedRuntime) {
        ::setenv("XDG_RUNTIME_DIR", previousRuntime.c_str(), 1);
    } else {
        ::unsetenv("XDG_RUNTIME_DIR");
    }
}

// A recording cut short leaves the frames that arrived in a finished file, and says so.
enum class Cut {
    Unplug,
    BusReset,
    Interrupt,
    HangUp,
    Quit,
    DiskFull,
    ReadFails,
    Stalls,
    DaemonDies,
    TerminatedInStall,
    DriverStops,
};

class CutShort : public KestrixCapture, public ::testing::WithParamInterface<Cut> {};

TEST_P(CutShort, KeepsWhatArrived) {
    SimulatedBus bus(1);
    ASSERT_TRUE(bus.IsRunning());
    const std::string avi = File("cut.avi");
    // Five frames fit below the limit: 65032 bytes of headers, 921608 a frame.
    const rlim_t limit = GetParam() == Cut::DiskFull ? 5000000 : RLIM_INFINITY;
    ToolRun tool(m_dir.Path(), {"--seconds", "120", "--avi", avi}, limit);
    if (GetParam() != Cut::DiskFull) {
        // Two frames in: the first one's headers are on disk.
        ASSERT_TRUE(WaitForFileSize(avi, 2 * kRgbVgaBytes)) << "no frame recorded";
    }
    int expected = 5;
    // Those where the stop of the camera fails as well report that on a line of its own.
    bool oneLine = true;
    switch (GetParam()) {
        case Cut::Unplug:
            ASSERT_TRUE(bus.Busctl({"remove", "0"}).Ok());
            expected = 6;
            break;
        case Cut::BusReset:
            ASSERT_TRUE(bus.Busctl({"bus-reset"}).Ok());
            expected = 6;
            break;
        case Cut::Interrupt:
            tool.Signal(SIGINT);
            expected = 130;
            break;
        case Cut::HangUp:
            tool.Signal(SIGHUP);
            expected = 129;
            break;
        case Cut::Quit:
            tool.Signal(SIGQUIT);
            expected = 131;
            break;
        case Cut::DiskFull:
            break;
        case Cut::ReadFails:
            ASSERT_TRUE(bus.Busctl({"fault", "iso-fail", "1"}).Ok());
            expected = 1;
            break;
        case Cut::Stalls:
            ASSERT_TRUE(bus.Busctl({"fault", "stall", "1"}).Ok());
            expected = 1;
            break;
        case Cut::DaemonDies:
            bus.Kill();
            expected = 1;
            oneLine = false;
            break;
        case Cut::TerminatedInStall:
            // Every request from now on goes unanswered: the stop's requests must time out.
            ASSERT_TRUE(bus.Busctl({"fault", "stall", "100"}).Ok());
            tool.Signal(SIGTERM);
            expected = 143;
            oneLine = false;
            break;
        case Cut::DriverStops:
            // A hung driver: no frame and no answer; the session's rule gives up on it.
            ::kill(bus.Pid(), SIGSTOP);
            expected = 1;
            break;
    }
    const auto result = tool.Wait();
    if (GetParam() == Cut::DriverStops) {
        ::kill(bus.Pid(), SIGCONT);
        EXPECT_NE(result.errors.find("the bus driver does not answer"), std::string::npos)
            << result.errors;
    }
    EXPECT_EQ(result.exitCode, expected) << result.errors;
    if (oneLine) {
        EXPECT_EQ(Lines(result.errors), 1u) << result.errors;
    }
    if (expected == 1) {
        EXPECT_NE(result.errors.substr(0, result.errors.find('\n')).find("cut short"),
                  std::string::npos)
            << result.errors;
    }
    const long frames = SummaryFrames(result.output);
    EXPECT_GE(frames, 2) << result.output;
    if (GetParam() == Cut::DiskFull) {
        EXPECT_EQ(frames, 5);
    }
    EXPECT_EQ(filestest::ProbeStream(avi)["nb_read_packets"], std::to_string(frames));
    const auto stamps = Stamps(avi);
    EXPECT_EQ(long(stamps.size()), frames);
    ExpectConsecutive(stamps);
    if (expected > 128 && GetParam() != Cut::TerminatedInStall) {
        // A signal switches the camera off as it ends the recording.
        EXPECT_EQ(bus.Busctl({"status"}).output.find("sending on channel"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Recording, CutShort,
                         ::testing::Values(Cut::Unplug, Cut::BusReset, Cut::Interrupt, Cut::HangUp,
                                           Cut::Quit, Cut::DiskFull, Cut::ReadFails, Cut::Stalls,
                                           Cut::DaemonDies, Cut::TerminatedInStall,
                                           Cut::DriverStops));

// Starts a recording of camera 0 and waits until two frames are in the file.
class Recording {
public:
    Recording(const fs::path& folder, const std::string& avi, std::vector<std::string> args)
        : m_tool(folder, WithAvi(std::move(args), avi)), m_avi(avi) {}
    bool WaitForFrames(std::uintmax_t frames = 2) const {
        return WaitForFileSize(m_avi, frames * kRgbVgaBytes);
    }
    ToolRun& Tool() { return m_tool; }

private:
    static std::vector<std::string> WithAvi(std::vector<std::string> args, const std::string& avi) {
        args.insert(args.end(), {"--avi", avi});
        return args;
    }

    ToolRun m_tool;
    std::string m_avi;
};

TEST_F(KestrixCapture, AFailedStopOfTheCameraIsReported) {
    SimulatedBus bus(1);
    ASSERT_TRUE(bus.IsRunning());
    Recording recording(m_dir.Path(), File("stop.avi"), {"--frames", "30"});
    ASSERT_TRUE(recording.WaitForFrames());
    // Register writes fail from now on, the one that switches transmission off among them.
    ASSERT_TRUE(bus.Busctl({"fault", "async-fail", "100"}).Ok());
    const auto result = recording.Tool().Wait();
    EXPECT_EQ(result.exitCode, 1) << result.errors;
    EXPECT_NE(result.errors.find("stop transmitting"), std::string::npos) << result.errors;
    EXPECT_EQ(SummaryFrames(result.output), 30) << result.output;
}

TEST_F(KestrixCapture, CountsTheFramesLostBeforeTheRing) {
    SimulatedBus bus(1);
    ASSERT_TRUE(bus.IsRunning());
    const std::string avi = File("lost.avi");
    Recording recording(m_dir.Path(), avi, {"--frames", "40", "--verify-counter"});
    ASSERT_TRUE(recording.WaitForFrames());
    // Ten reads deliver nothing: the frames they would have had never reach the program.
    ASSERT_TRUE(bus.Busctl({"fault", "iso-negative", "10"}).Ok());
    const auto result = recording.Tool().Wait();
    ASSERT_EQ(result.exitCode, 0) << result.errors;
    const Summary summary = ParseSummary(result.output);
    ASSERT_EQ(summary.frames, 40) << result.output;
    EXPECT_GE(summary.lost, 10);
    EXPECT_EQ(summary.shortFrames, 0);
    // Every frame missing from the file's run of counters is reported, lost or dropped, and the
    // camera's counter sees the same gaps as the session counts lost.
    const auto stamps = Stamps(avi);
    ASSERT_EQ(stamps.size(), 40u);
    const long missing = long(stamps.back() - stamps.front() + 1) - 40;
    EXPECT_GE(missing, 10);
    EXPECT_LE(missing, summary.gaps + summary.dropped);
    if (testsupport::kEveryFrameArrives) {
        EXPECT_EQ(summary.gaps, summary.lost) << result.output;
    }
}

// A frame that arrives short is in the file and counted short, never lost.
TEST_F(KestrixCapture, CountsShortFramesApartFromLost) {
    SimulatedBus bus(1);
    ASSERT_TRUE(bus.IsRunning());
    const std::string avi = File("short.avi");
    Recording recording(m_dir.Path(), avi, {"--frames", "20", "--json"});
    ASSERT_TRUE(recording.WaitForFrames());
    ASSERT_TRUE(bus.Busctl({"fault", "short-frame", "3"}).Ok());
    const auto result = recording.Tool().Wait();
    ASSERT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_NE(result.output.find("\"short\":3,"), std::string::npos) << result.output;
    if (testsupport::kEveryFrameArrives) {
        EXPECT_NE(result.output.find("\"lost\":0,"), std::string::npos) << result.output;
    }
    const auto stamps = Stamps(avi);
    EXPECT_EQ(stamps.size(), 20u);
    ExpectConsecutive(stamps);
}

TEST_F(KestrixCapture, LeavesACameraInUseByAnotherProgramAlone) {
    SimulatedBus bus(1);
    ASSERT_TRUE(bus.IsRunning());
    const std::string avi = File("first.avi");
    fs::create_directory(m_dir.Path() / "first");
    Recording first(m_dir.Path() / "first", avi, {"--seconds", "120"});
    ASSERT_TRUE(first.WaitForFrames());
    fs::create_directory(m_dir.Path() / "second");
    const auto second = ToolRun(m_dir.Path() / "second", {"--frames", "1"}).Wait();
    EXPECT_EQ(second.exitCode, 7) << second.errors;
    EXPECT_EQ(second.errors, "kestrix-capture: the camera is in use by another program\n");
    // The first recording goes on: the second did not switch the camera's transmission off.
    const std::uintmax_t had = fs::file_size(avi) / kRgbVgaBytes;
    ASSERT_TRUE(first.WaitForFrames(had + 3));
    first.Tool().Signal(SIGINT);
    const auto result = first.Tool().Wait();
    EXPECT_EQ(result.exitCode, 130) << result.errors;
    EXPECT_EQ(Lines(result.errors), 1u) << result.errors;
    EXPECT_EQ(long(Stamps(avi).size()), SummaryFrames(result.output));
}

TEST_F(KestrixCapture, EveryToolAnswersHelpAndVersionAndRefusesAnUnknownOption) {
    const std::pair<const char*, std::string> tools[] = {{KESTRIX_CAPTURE_PATH, "kestrix-capture"},
                                                         {KESTRIX_BUSD_PATH, "kestrix-busd"},
                                                         {KESTRIX_BUSCTL_PATH, "kestrix-busctl"}};
    for (const auto& [path, name] : tools) {
        const auto help = ToolRun(m_dir.Path(), {"--help"}, RLIM_INFINITY, path).Wait();
        EXPECT_EQ(help.exitCode, 0) << name;
        EXPECT_EQ(help.output.rfind("usage: " + name + " ", 0), 0u) << help.output;
        EXPECT_TRUE(help.errors.empty()) << help.errors;
        const auto version = ToolRun(m_dir.Path(), {"--version"}, RLIM_INFINITY, path).Wait();
        EXPECT_EQ(version.exitCode, 0) << name;
        EXPECT_EQ(version.output, name + " " KESTRIX_VERSION "\n");
        const auto bad = ToolRun(m_dir.Path(), {"--bogus=1"}, RLIM_INFINITY, path).Wait();
        EXPECT_EQ(bad.exitCode, 2) << name;
        EXPECT_EQ(bad.errors, name + ": unknown option '--bogus' (see --help)\n");
    }
    // kestrix-busctl takes its device directory after the command as well.
    SimulatedBus bus(1);
    ASSERT_TRUE(bus.IsRunning());
    const auto status = ToolRun(m_dir.Path(), {"status", "--dir=" + bus.Dir().string()},
                                RLIM_INFINITY, KESTRIX_BUSCTL_PATH)
                            .Wait();
    EXPECT_EQ(status.exitCode, 0) << status.errors;
    EXPECT_NE(status.output.find("directory: " + bus.Dir().string()), std::string::npos);
}

int BitsPerPixel(const std::string& coding) {
    static const std::map<std::string, int> bits{{"mono8", 8},  {"yuv411", 12}, {"yuv422", 16},
                                                 {"yuv444", 24}, {"rgb", 24},    {"mono16", 16},
                                                 {"rgb16", 48}};
    return bits.at(coding);
}

TEST_F(KestrixCapture, RecordsAFrameInEveryModeItLists) {
    SimulatedBus bus(1, testsupport::kLargeFrameRate);
    ASSERT_TRUE(bus.IsRunning());
    const auto list = Run({"--list"});
    ASSERT_EQ(list.exitCode, 0) << list.errors;
    static const std::regex row(R"(\n  (\d+)x(\d+)-(\w+) \(mode \d+(, Format 7)?\):( [0-9.]+)?)");
    std::size_t modes = 0;
    for (std::sregex_iterator it(list.output.begin(), list.output.end(), row), end; it != end;
         ++it, ++modes) {
        const std::smatch& m = *it;
        const std::string name = m[1].str() + "x" + m[2].str() + "-" + m[3].str();
        const std::string bmp = File(name + ".bmp");
        std::vector<std::string> args{"--mode", name, "--frames", "1", "--json", "--bmp", bmp};
        // The slowest rate the mode offers: one that every mode's bandwidth allows.
        if (m[5].matched) args.insert(args.end(), {"--rate", m[5].str().substr(1)});
        const auto result = Run(args);
        EXPECT_EQ(result.exitCode, 0) << name << ": " << result.errors;
        const std::uintmax_t pixels = std::stoul(m[1]) * std::stoul(m[2]);
        const std::string counted = "\"frames\":1,\"dropped\":0,\"fps\":0.00,\"bytes\":" +
                                    std::to_string(pixels * BitsPerPixel(m[3]) / 8) + ",";
        EXPECT_NE(result.output.find(counted), std::string::npos) << name << ": " << result.output;
        EXPECT_EQ(fs::exists(bmp) ? fs::file_size(bmp) : 0, 54 + pixels * 3) << name;
    }
    // Every mode line was understood, Format 7 in each of its codings among them.
    EXPECT_EQ(modes, Lines(list.output) - 1);
    EXPECT_NE(list.output.find("  1360x1024-yuv422 (mode 24, Format 7)"), std::string::npos);
}

TEST_F(KestrixCapture, RecordsTwoCamerasAtOnce) {
    SimulatedBus bus(2);
    ASSERT_TRUE(bus.IsRunning());
    std::vector<std::unique_ptr<ToolRun>> runs;
    for (const char* camera : {"0", "1"}) {
        fs::create_directory(m_dir.Path() / camera);
        runs.push_back(std::make_unique<ToolRun>(
            m_dir.Path() / camera, std::vector<std::string>{"--camera", camera, "--frames", "30",
                                                            "--avi", File(camera + std::string(".avi"))}));
    }
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const auto result = runs[i]->Wait();
        EXPECT_EQ(result.exitCode, 0) << "camera " << i << ": " << result.errors;
        EXPECT_EQ(SummaryFrames(result.output), 30) << result.output;
        const auto stamps = Stamps(File(std::to_string(i) + ".avi"));
        EXPECT_EQ(stamps.size(), 30u);
        ExpectConsecutive(stamps);
    }
}

TEST_F(KestrixCapture, JsonSummaryHoldsTheFiguresWhateverTheOutcome) {
    SimulatedBus bus(1);
    ASSERT_TRUE(bus.IsRunning());
    const std::string avi = File("quote\"d.avi");
    const auto done = Run({"--json", "--frames", "4", "--avi", avi, "--get", "gain"});
    ASSERT_EQ(done.exitCode, 0) << done.errors;
    const std::string escaped = std::regex_replace(avi, std::regex("\""), "\\\"");
    std::string line =
        std::regex_replace(done.output, std::regex(R"("fps":[0-9]+\.[0-9]{2},)"), "");
    // Where frames may be lost to slowness, how many were is no part of the line's form.
    if (!testsupport::kEveryFrameArrives)
        line = std::regex_replace(line, std::regex(R"("lost":[0-9]+)"), "\"lost\":0");
    EXPECT_EQ(line, "{\"frames\":4,\"dropped\":0,\"bytes\":" + std::to_string(4 * kRgbVgaBytes) +
                        ",\"lost\":0,\"short\":0,\"read_errors\":0,\"files\":{\"avi\":\"" +
                        escaped +
                        "\"},\"features\":{\"gain\":\"0 (0.0 "
                        "dB)\"},\"exit_reason\":\"done\",\"exit_status\":0}\n");
    const auto failed = Run({"--json", "--camera", "4"});
    EXPECT_EQ(failed.exitCode, 3);
    EXPECT_EQ(failed.output,
              "{\"frames\":0,\"dropped\":0,\"fps\":0.00,\"bytes\":0,\"lost\":0,\"short\":0,"
              "\"read_errors\":0,\"files\":{},"
              "\"features\":{},\"exit_reason\":\"no camera 4: the bus has 1 (see --list)\","
              "\"exit_status\":3}\n");
}

TEST_F(KestrixCapture, VerboseReportsTheCaptureStartAndQuietSaysNothing) {
    SimulatedBus bus(1);
    ASSERT_TRUE(bus.IsRunning());
    ::unsetenv("KESTRIX_LOG");
    const auto quiet = Run({"--frames", "1"});
    ASSERT_EQ(quiet.exitCode, 0) << quiet.errors;
    EXPECT_EQ(quiet.errors, "");
    const auto verbose = Run({"-v", "--frames", "1"});
    ASSERT_EQ(verbose.exitCode, 0) << verbose.errors;
    EXPECT_NE(verbose.errors.find("capture started on camera 0"), std::string::npos)
        << verbose.errors;
}

std::map<std::string, std::string> Features(const std::string& output) {
    std::map<std::string, std::string> features;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos) features[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return features;
}

TEST_F(KestrixCapture, SetsAndGetsTheStandardFeatures) {
    SimulatedBus bus(1);
    ASSERT_TRUE(bus.IsRunning());
    const auto factory = Run({"--get", "all"});
    ASSERT_EQ(factory.exitCode, 0) << factory.errors;
    const auto values = Features(factory.output);
    EXPECT_EQ(values.size(), 18u) << factory.output;
    EXPECT_EQ(values.at("white-balance"), "128,128 (6500 K)");
    EXPECT_EQ(values.at("frame-rate"), "120 (15.00 fps)");

    const auto set = Run({"--set", "brightness=200", "--set=shutter=auto", "--set",
                          "white-balance=100,150", "--set", "gamma=2", "--set", "trigger=1",
                          "--get", "brightness", "--get", "white-balance"});
    EXPECT_EQ(set.exitCode, 0) << set.errors;
    EXPECT_EQ(set.output, "brightness=200 (78.43 %)\nwhite-balance=100,150 (10000 K)\n");
    const auto changed = Features(Run({"--get", "all"}).output);
    EXPECT_EQ(changed.at("shutter"), "auto (33.33 ms)");
    EXPECT_EQ(changed.at("gamma"), "2");
    EXPECT_EQ(changed.at("trigger"), "1");

    // What the camera refuses, and why, leaves it as it was.
    for (const char* refused : {"brightness=300", "gamma=auto", "trigger=3", "white-balance=1,256",
                                "shutter=1000", "gamma=one-push"}) {
        ExpectFailure({"--set", refused}, 8);
    }
    const auto range = Run({"--set", "brightness=300"});
    EXPECT_EQ(range.errors,
              "kestrix-capture: brightness=300 is out of the camera's range 0..255\n");
    EXPECT_EQ(Features(Run({"--get", "all"}).output), changed);

    // Every line --get printed sets the feature back.
    std::vector<std::string> restore;
    for (const auto& [name, value] : values) restore.insert(restore.end(), {"--set", name + "=" + value});
    EXPECT_EQ(Run(restore).exitCode, 0);
    EXPECT_EQ(Run({"--get", "all"}).output, factory.output);

    // A setting comes before the recording, and a failed write is a failure of the run.
    const auto recorded = Run({"--set", "gain=50", "--frames", "1", "--get", "gain"});
    EXPECT_EQ(recorded.exitCode, 0) << recorded.errors;
    EXPECT_EQ(recorded.output.rfind("gain=50 (5.0 dB)\nframes=1 ", 0), 0u) << recorded.output;
    ASSERT_TRUE(bus.Busctl({"fault", "async-fail", "1"}).Ok());
    ExpectFailure({"--set", "gain=60"}, 1);
}

// Values in units both ways, and runs on trigger: nothing without a trigger, a frame per
// software trigger, the trigger input driven by kestrix-busctl, the camera's setting put back.
TEST_F(KestrixCapture, TakesUnitsAndRunsOnTrigger) {
    SimulatedBus bus(1);
    ASSERT_TRUE(bus.IsRunning());
    const auto units = Run({"--set", "shutter=10ms", "--set=gain=6 dB", "--get", "shutter",
                            "--get", "gain"});
    EXPECT_EQ(units.exitCode, 0) << units.errors;
    EXPECT_EQ(units.output, "shutter=2168 (9.979 ms)\ngain=64 (6.0 dB)\n");
    ExpectFailure({"--set", "shutter=6dB"}, 2);
    ExpectFailure({"--set", "shutter=5s"}, 8);
    ExpectFailure({"--set", "hue=10deg"}, 8);
    ExpectFailure({"--software-trigger-every", "50"}, 2);
    ExpectFailure({"--trigger", "3", "--frames", "1"}, 8);

    const auto none = Run({"--trigger", "0", "--seconds", "0.3"});
    EXPECT_EQ(none.exitCode, 0) << none.errors;
    EXPECT_EQ(ParseSummary(none.output).frames, 0) << none.output;
    const auto fired =
        Run({"--trigger", "0", "--software-trigger-every", "20", "--frames", "3",
             "--verify-counter", "--avi", File("t.avi")});
    EXPECT_EQ(fired.exitCode, 0) << fired.errors;
    EXPECT_EQ(ParseSummary(fired.output).gaps, 0) << fired.output;
    EXPECT_EQ(ParseSummary(fired.output).lost, 0) << fired.output;
    const auto stamps = Stamps(File("t.avi"));
    EXPECT_EQ(stamps.size(), 3u);
    ExpectConsecutive(stamps);

    ToolRun waiting(m_dir.Path(), {"--trigger", "1", "--frames", "1"});
    const auto end = std::chrono::steady_clock::now() + 20s;
    std::string reply;
    while (reply != "taken\n" && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(20ms);
        reply = bus.Busctl({"trigger", "0"}).output;  // ignored until the camera transmits
    }
    const auto triggered = waiting.Wait();
    EXPECT_EQ(triggered.exitCode, 0) << triggered.errors;
    EXPECT_EQ(SummaryFrames(triggered.output), 1) << triggered.output;
    EXPECT_EQ(Run({"--get", "trigger"}).output, "trigger=off\n") << "put back after each run";
}

}  // namespace
