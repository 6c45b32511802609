// PageBlock: zeroed, writable memory that goes back to the system the moment it is freed.
#include "platform/PageBlock.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <utility>

namespace {

std::size_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * std::size_t(::sysconf(_SC_PAGESIZE));
}

TEST(PageBlock, ZeroedWritableAndGivenBackWhenFreed) {
    constexpr std::size_t kBytes = std::size_t{64} << 20;
    platform::PageBlock block;
    ASSERT_TRUE(block.Allocate(kBytes + 123));
    EXPECT_EQ(block.Size(), kBytes + 123);
    EXPECT_EQ(block.Data()[0], 0);
    EXPECT_EQ(block.Data()[kBytes + 122], 0);

    const std::size_t before = ResidentBytes();
    std::memset(block.Data(), 0xA5, block.Size());
    EXPECT_GE(ResidentBytes(), before + kBytes * 9 / 10);

    platform::PageBlock moved = std::move(block);
    EXPECT_FALSE(block);
    EXPECT_EQ(moved.Data()[kBytes + 122], 0xA5);
    const std::size_t filled = ResidentBytes();
    moved.Free();
    EXPECT_FALSE(moved);
    EXPECT_LE(ResidentBytes(), filled - kBytes * 9 / 10);

    EXPECT_FALSE(moved.Allocate(0));
}

// Populated pages are in before anything writes them, and still read as zero.
TEST(PageBlock, PopulateBringsThePagesInZeroed) {
    constexpr std::size_t kBytes = std::size_t{32} << 20;
    platform::PageBlock block;
    ASSERT_TRUE(block.Allocate(kBytes));
    const std::size_t before = ResidentBytes();
    ASSERT_TRUE(block.Populate());
    EXPECT_GE(ResidentBytes(), before + kBytes * 9 / 10);
    EXPECT_EQ(block.Data()[0], 0);
    EXPECT_EQ(block.Data()[kBytes / 2], 0);
    EXPECT_EQ(block.Data()[kBytes - 1], 0);
}

}  // namespace
