// kestrix-capture run as a child process by the tool's suites: its output and status, the
// summary line it prints, and a fixture with a private shared-memory namespace and folder.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/ByteOrder.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/FrameStamps.h"
#include "tests/support/SharedBlockSweep.h"
#include "tests/support/TempDir.h"

namespace capturetest {

namespace fs = std::filesystem;

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
            rlim_t fileSizeLimit = RLIM_INFINITY, const char* program = KESTRIX_CAPTURE_PATH)
        : m_out(folder / "stdout"), m_err(folder / "stderr") {
        args.insert(args.begin(), program);
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
    pid_t Pid() const { return m_pid; }
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

inline std::size_t Lines(const std::string& text) {
    return std::size_t(std::count(text.begin(), text.end(), '\n'));
}

// The last line, frames=N dropped=D fps=F lost=L short=S [gaps=G]; -1 for each when the line
// (or gaps=) is not there.
struct Summary {
    long frames = -1;
    long dropped = -1;
    long lost = -1;
    long shortFrames = -1;
    long gaps = -1;
};

inline Summary ParseSummary(const std::string& output) {
    static const std::regex summary(R"((^|\n)frames=(\d+) dropped=(\d+) fps=[0-9]+\.[0-9]+ )"
                                    R"(lost=(\d+) short=(\d+)( gaps=(\d+))?\n$)");
    std::smatch match;
    if (!std::regex_search(output, match, summary)) return {};
    return {std::stol(match[2]), std::stol(match[3]), std::stol(match[4]), std::stol(match[5]),
            match[7].matched ? std::stol(match[7]) : -1};
}

// N of a summary without dropped frames, or -1.
inline long SummaryFrames(const std::string& output) {
    const Summary summary = ParseSummary(output);
    return summary.dropped == 0 ? summary.frames : -1;
}

// Waits (up to a minute) until the file at path has grown past bytes: frames are in it. The
// size is read without throwing: the tool's check that it may write there creates the file and
// removes it again, so a file seen a moment ago may be gone.
inline bool WaitForFileSize(const std::string& path, std::uintmax_t bytes) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    const auto size = [&path] {
        std::error_code missing;
        const std::uintmax_t found = fs::file_size(path, missing);
        return missing ? 0 : found;
    };
    while (size() <= bytes) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
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
        testsupport::ExpectStampsInOrder(stamps);
    }

    testsupport::TempDir m_dir{"kestrix-capture-test"};
};

}  // namespace capturetest
