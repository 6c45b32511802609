// System figures: free memory from a meminfo file, the wrapping tick.
#include "platform/SystemInfo.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using platform::SystemInfo;

// A meminfo-style file with the given text, removed afterwards.
class MemInfoFile {
public:
    explicit MemInfoFile(const std::string& text)
        : m_path(std::filesystem::path(::testing::TempDir()) /
                 ("meminfo-" + std::to_string(getpid()))) {
        std::ofstream(m_path) << "MemTotal:       16318412 kB\n"
                              << "MemFree:          512000 kB\n"
                              << text << "Buffers:          180000 kB\n";
    }
    ~MemInfoFile() { std::filesystem::remove(m_path); }
    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

std::uint32_t MemoryReadFrom(const std::string& line) {
    return SystemInfo::AvailablePhysicalMemory(MemInfoFile(line).Path());
}

TEST(SystemInfoMemory, ReadsMemAvailableInBytes) {
    EXPECT_EQ(MemoryReadFrom("MemAvailable:       2048 kB\n"), 2048u * 1024u);
    EXPECT_GT(SystemInfo::AvailablePhysicalMemory(), 0u);
}

TEST(SystemInfoMemory, ClampsTo32Bits) {
    EXPECT_EQ(MemoryReadFrom("MemAvailable:    4194304 kB\n"), 0xFFFFFFFFu);  // exactly 4 GiB
    EXPECT_EQ(MemoryReadFrom("MemAvailable:    4194303 kB\n"), 0xFFFFFC00u);
    EXPECT_EQ(MemoryReadFrom("MemAvailable: 18014398509481984 kB\n"), 0xFFFFFFFFu);
    EXPECT_EQ(MemoryReadFrom("MemAvailable: 99999999999999999999999999 kB\n"), 0xFFFFFFFFu);
}

TEST(SystemInfoMemory, GivesZeroWhenItCannotBeRead) {
    EXPECT_EQ(MemoryReadFrom(""), 0u);
    EXPECT_EQ(MemoryReadFrom("MemAvailable: plenty\n"), 0u);
    EXPECT_EQ(MemoryReadFrom("MemAvailable: -20 kB\n"), 0u);
    EXPECT_EQ(MemoryReadFrom("MemAvailable:\n"), 0u);
    EXPECT_EQ(SystemInfo::AvailablePhysicalMemory("/nonexistent/meminfo"), 0u);
}

TEST(SystemInfoTick, WrapsAt32Bits) {
    SystemInfo::SetTickCountOffset(0);
    const std::uint32_t real = SystemInfo::TickCount();
    // Two seconds before the wrap: a slow or busy machine may lose much time between the two
    // reads without landing past the wrap already.
    SystemInfo::SetTickCountOffset(0u - 2000u - real);
    const std::uint32_t before = SystemInfo::TickCount();
    EXPECT_GE(before, 0xFFFF0000u);
    std::uint32_t after = before;
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (after >= before && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(5ms);
        after = SystemInfo::TickCount();
    }
    SystemInfo::SetTickCountOffset(0);
    EXPECT_LT(after, before);
    EXPECT_LT(after - before, 60000u);  // elapsed time survives the wrap in unsigned arithmetic
}

}  // namespace
