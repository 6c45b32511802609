// kestrix-capture run as a program: every documented exit status with its one-line error,
// --list, a recording on a simulated bus of its own checked with ffprobe, and recordings cut
// short by an unplug, a bus reset, a signal or a full disk, each leaving a readable file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/files/FilesTestSupport.h"
#include "tests/support/SharedBlockSweep.h"
#include "tests/support/SimulatedBus.h"
#include "tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::SimulatedBus;

constexpr std::size_t kRgbVgaBytes = 640 * 480 * 3;

// The tool running in a child process, its output going to files.
class ToolRun {
public:
    struct Result {
        int exitCode = -1;
        std::string output;
        std::string errors;
    };

    ToolRun(const fs::path& folder, std::vector<std::string> args,
            rlim_t fileSizeLimit = RLIM_INFINITY)
        : m_out(folder / "stdout"), m_err(folder / "stderr") {
        args.insert(args.begin(), KESTRIX_CAPTURE_PATH);
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        m_pid = ::fork();
        if (m_pid == 0) {
            const rlimit limit{fileSizeLimit, fileSizeLimit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            ::dup2(::open(m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
            ::dup2(::open(m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~ToolRun() {
        if (m_pid > 0) Wait();
    }

    void Signal(int signal) const { ::kill(m_pid, signal); }
    // A tool that hangs is killed after a bound and reported, rather than stalling the suite.
    Result Wait(std::chrono::seconds bound = std::chrono::seconds(90)) {
        int status = 0;
        Result result;
        const auto end = std::chrono::steady_clock::now() + bound;
        pid_t ended = 0;
        while ((ended = ::waitpid(m_pid, &status, WNOHANG)) == 0 &&
               std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (ended == 0) {
            ADD_FAILURE() << "kestrix-capture did not end within " << bound.count() << " s";
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
        } else if (ended == m_pid && WIFEXITED(status)) {
            result.exitCode = WEXITSTATUS(status);
        }
        m_pid = -1;
        result.output = Text(m_out);
        result.errors = Text(m_err);
        return result;
    }

private:
    static std::string Text(const fs::path& path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path m_out, m_err;
    pid_t m_pid = -1;
};

std::size_t Lines(const std::string& text) {
    return std::size_t(std::count(text.begin(), text.end(), '\n'));
}

// frames=N dropped=D fps=F as the last line; N, or -1 when the line is not there.
long SummaryFrames(const std::string& output) {
    static const std::regex summary(R"((^|\n)frames=(\d+) dropped=0 fps=[0-9]+\.[0-9]+\n$)");
    std::smatch match;
    return std::regex_search(output, match, summary) ? std::stol(match[2]) : -1;
}

class KestrixCapture : public ::testing::Test {
protected:
    // Runs that find no bus of the test's own still join the bus layer's shared block.
    void SetUp() override {
        static int runs = 0;
        const std::string name =
            "kxcap-" + std::to_string(::getpid()) + "-" + std::to_string(runs++);
        ::setenv("KESTRIX_SHM_NAMESPACE", name.c_str(), 1);
    }
    void TearDown() override {
        testsupport::SweepSharedBlocks();
        ::unsetenv("KESTRIX_SHM_NAMESPACE");
    }
    ToolRun::Result Run(const std::vector<std::string>& args) {
        return ToolRun(m_dir.Path(), args).Wait();
    }
    // A failure with its exit status and exactly one line of error.
    void ExpectFailure(const std::vector<std::string>& args, int exitCode) {
        const auto result = Run(args);
        EXPECT_EQ(result.exitCode, exitCode) << args.front() << ": " << result.errors;
        EXPECT_EQ(Lines(result.errors), 1u) << result.errors;
        EXPECT_EQ(result.errors.rfind("kestrix-capture: ", 0), 0u) << result.errors;
    }
    std::string File(const std::string& name) const { return (m_dir.Path() / name).string(); }

    // The counters the simulated camera stamped into the frames of a raw RGB recording.
    std::vector<std::uint32_t> Stamps(const std::string& path) const {
        std::vector<std::uint32_t> stamps;
        filestest::ForEachFrame(path, kRgbVgaBytes, [&](auto frame) {
            stamps.push_back(platform::LoadBE32(frame.data()));
        });
        return stamps;
    }
    void ExpectConsecutive(const std::vector<std::uint32_t>& stamps) const {
        for (std::size_t i = 1; i < stamps.size(); ++i) EXPECT_EQ(stamps[i], stamps[i - 1] + 1);
    }

    testsupport::TempDir m_dir{"kestrix-capture-test"};
};

TEST_F(KestrixCapture, BadArgumentsExitWithStatus2) {
    const auto help = Run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* status : {"0 ", "1 ", "2 ", "3 ", "4 ", "5 ", "6 ", "130 "}) {
        EXPECT_NE(help.output.find("\n  " + std::string(status)), std::string::npos) << status;
    }
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"--bogus"},
                                               {"--frames"},
                                               {"--frames", "0"},
                                               {"--mode", "640x480"},
                                               {"--buffer-percent", "95"},
                                               {"--frames", "3", "--seconds", "1"},
                                               {"--convert"}}) {
        ExpectFailure(args, 2);
    }
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
    ExpectFailure({"--avi", File("missing/x.avi")}, 5);
    ExpectFailure({"--jpeg", m_dir.Path().string()}, 5);
    EXPECT_FALSE(fs::exists(File("missing")));
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
    EXPECT_NE(result.output.find("  1360x1024 Format 7 (mode 24):"), std::string::npos);
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

// A recording cut short leaves the frames that arrived in a finished file.
enum class Cut { Unplug, BusReset, Interrupt, DiskFull };

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
        const auto end = std::chrono::steady_clock::now() + 60s;
        while (!(fs::exists(avi) && fs::file_size(avi) > 2 * kRgbVgaBytes)) {
            ASSERT_LT(std::chrono::steady_clock::now(), end) << "no frame recorded";
            std::this_thread::sleep_for(20ms);
        }
    }
    int expected = 5;
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
        case Cut::DiskFull:
            break;
    }
    const auto result = tool.Wait();
    EXPECT_EQ(result.exitCode, expected) << result.errors;
    EXPECT_EQ(Lines(result.errors), 1u) << result.errors;
    const long frames = SummaryFrames(result.output);
    EXPECT_GE(frames, 2) << result.output;
    if (GetParam() == Cut::DiskFull) {
        EXPECT_EQ(frames, 5);
    }
    EXPECT_EQ(filestest::ProbeStream(avi)["nb_read_packets"], std::to_string(frames));
    const auto stamps = Stamps(avi);
    EXPECT_EQ(long(stamps.size()), frames);
    ExpectConsecutive(stamps);
}

INSTANTIATE_TEST_SUITE_P(Recording, CutShort,
                         ::testing::Values(Cut::Unplug, Cut::BusReset, Cut::Interrupt,
                                           Cut::DiskFull));

}  // namespace
