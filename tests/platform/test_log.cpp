// The log: KESTRIX_LOG's syntax, the -v count, what a line looks like, and that a line that is
// off costs no formatting.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Log.h"
#include "platform/UniqueFd.h"

namespace {

using platform::LogCategory;
using platform::LogEnabled;
using platform::LogLevel;

// Points the log at an in-memory file for the test's life.
class LogTest : public ::testing::Test {
protected:
    LogTest() : m_file(memfd_create("kestrix-log-test", 0)) {
        // Appending, as a redirected stderr does; a memory file's shared offset alone is not
        // kept whole across threads.
        fcntl(m_file.Get(), F_SETFL, O_APPEND);
        m_previousFd = platform::SetLogFd(m_file.Get());
    }
    ~LogTest() override {
        platform::SetLogFd(m_previousFd);
        platform::SetLogVerbosity(0);
        platform::ConfigureLog("");
    }
    std::vector<std::string> Lines() const {
        std::string text(static_cast<std::size_t>(lseek(m_file.Get(), 0, SEEK_END)), '\0');
        EXPECT_EQ(pread(m_file.Get(), text.data(), text.size(), 0), ssize_t(text.size()));
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        EXPECT_TRUE(text.empty() || text.back() == '\n') << "a line cut short";
        return lines;
    }

    platform::UniqueFd m_file;
    int m_previousFd = -1;
};

TEST_F(LogTest, TheSettingChoosesALevelPerCategory) {
    platform::ConfigureLog("camera:debug, *:error ,files:off,Bus:INFO");
    EXPECT_TRUE(LogEnabled(LogCategory::Camera, LogLevel::Debug));
    EXPECT_TRUE(LogEnabled(LogCategory::Bus, LogLevel::Info));
    EXPECT_FALSE(LogEnabled(LogCategory::Bus, LogLevel::Debug));
    EXPECT_FALSE(LogEnabled(LogCategory::Files, LogLevel::Error));
    EXPECT_TRUE(LogEnabled(LogCategory::Simbus, LogLevel::Error)) << "* is the rest";
    EXPECT_FALSE(LogEnabled(LogCategory::Simbus, LogLevel::Warn));

    platform::ConfigureLog("");
    EXPECT_FALSE(LogEnabled(LogCategory::App, LogLevel::Error)) << "silent unless asked";
    EXPECT_TRUE(Lines().empty());

    // What does not parse is dropped and named once; the rest still applies.
    platform::ConfigureLog("camera:loud,debug,nosuch:warn,");
    EXPECT_TRUE(LogEnabled(LogCategory::Capture, LogLevel::Debug)) << "a bare level is *";
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\"camera:loud\" \"nosuch:warn\""), std::string::npos) << lines[0];

    // -v raises only what the setting leaves to the default, and never lowers.
    platform::ConfigureLog("capture:error,*:error");
    platform::SetLogVerbosity(1);
    EXPECT_TRUE(LogEnabled(LogCategory::Camera, LogLevel::Info));
    EXPECT_FALSE(LogEnabled(LogCategory::Camera, LogLevel::Debug));
    EXPECT_FALSE(LogEnabled(LogCategory::Capture, LogLevel::Warn));
    platform::SetLogVerbosity(2);
    EXPECT_TRUE(LogEnabled(LogCategory::Camera, LogLevel::Debug));
    platform::ConfigureLog("*:debug");
    platform::SetLogVerbosity(1);
    EXPECT_TRUE(LogEnabled(LogCategory::Bus, LogLevel::Debug));
}

TEST_F(LogTest, LinesAreWholeStampedAndCostNothingWhenOff) {
    platform::ConfigureLog("*:warn");
    int formatted = 0;
    KX_LOG(Camera, Debug) << "never " << ++formatted;
    EXPECT_EQ(formatted, 0) << "an off line is not formatted";

    errno = ENOENT;
    KX_LOG(Files, Warn) << "open failed: " << platform::ErrnoText(errno) << " at "
                        << platform::Hex(0xFFFFF0F00800);
    EXPECT_EQ(errno, ENOENT) << "logging keeps errno for the caller";

    constexpr int kThreads = 4, kEach = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < kEach; ++i) KX_LOG(Bus, Error) << std::string(300, 'x') << i;
        });
    }
    for (auto& thread : threads) thread.join();

    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 1u + kThreads * kEach);
    const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[\d+\] )");
    EXPECT_TRUE(std::regex_search(lines[0], stamp, std::regex_constants::match_continuous));
    EXPECT_NE(lines[0].find(" warn files: open failed: No such file or directory (errno 2) at "
                            "0xfffff0f00800"),
              std::string::npos)
        << lines[0];
    const std::regex whole(R"(.* error bus: x{300}\d+)");
    for (std::size_t i = 1; i < lines.size(); ++i) {
        ASSERT_TRUE(std::regex_match(lines[i], whole)) << "line " << i << " mixed: " << lines[i];
    }
}

// The variable itself, read at the first check of a fresh process; the warning goes to stderr.
TEST(LogEnvironment, IsReadAtTheFirstCheck) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("KESTRIX_LOG", "capture:debug,bogus", 1);
            const bool read = LogEnabled(LogCategory::Capture, LogLevel::Debug) &&
                              !LogEnabled(LogCategory::Bus, LogLevel::Error);
            std::_Exit(read ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "warn platform: KESTRIX_LOG: ignored \"bogus\"");
}

}  // namespace
