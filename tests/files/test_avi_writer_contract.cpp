// What the writer thread relies on: appending frames does not allocate, and the frame and drop
// counts may be read from another thread while frames are written.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

#include "files/CDcamAviFile.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

std::atomic<bool> g_countAllocations{false};
std::atomic<std::size_t> g_allocations{0};

}  // namespace

// Not inlined, so that the compiler does not pair a new expression with the free() inside.
[[gnu::noinline]] void* operator new(std::size_t size) {
    if (g_countAllocations.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
    if (void* memory = std::malloc(size ? size : 1)) return memory;
    throw std::bad_alloc();
}

[[gnu::noinline]] void operator delete(void* memory) noexcept { std::free(memory); }

[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

using files::CDcamAviFile;
using Result = CDcamAviFile::WriteResult;

TEST(AviWriterContract, AppendingFramesDoesNotAllocate) {
    testsupport::TempDir dir("kestrix-avi-alloc");
    auto now = std::chrono::steady_clock::time_point{};
    CDcamAviFile avi;
    // 300 ms a frame: refreshes come every few frames.
    avi.SetClock([&] { return now += std::chrono::milliseconds(300); });
    ASSERT_TRUE(avi.Open(dir.Path() / "a.avi"));
    ASSERT_TRUE(avi.SetFormat(0, 8, 8, 33333, false));
    std::vector<std::uint8_t> frame(64);

    g_allocations = 0;
    g_countAllocations = true;
    bool allWritten = true;
    // Past two new standard indexes.
    for (std::uint32_t i = 0; i < 9000; ++i) {
        filestest::FillFrame(frame, i);
        allWritten = allWritten && avi.WriteFrame(frame) == Result::Written;
        avi.NoteSequence(std::uint16_t(i));
    }
    g_countAllocations = false;
    EXPECT_TRUE(allWritten);
    EXPECT_EQ(g_allocations.load(), 0u);
    EXPECT_TRUE(avi.Finish());
}

TEST(AviWriterContract, CountsAreReadableWhileFramesAreWritten) {
    testsupport::TempDir dir("kestrix-avi-threads");
    CDcamAviFile avi;
    ASSERT_TRUE(avi.Open(dir.Path() / "a.avi"));
    ASSERT_TRUE(avi.SetFormat(0, 16, 16, 33333, false));
    constexpr std::uint32_t kFrames = 3000;

    std::atomic<bool> done{false};
    std::thread writer([&] {
        std::vector<std::uint8_t> frame(256);
        for (std::uint32_t i = 0; i < kFrames; ++i) {
            filestest::FillFrame(frame, i);
            avi.WriteFrame(frame);
            avi.NoteSequence(std::uint16_t(2 * i));  // every other frame missing
        }
        done = true;
    });
    std::uint32_t last = 0;
    bool ordered = true;
    while (!done) {
        const std::uint32_t count = avi.GetFrameCount();
        ordered = ordered && count >= last;
        last = count;
        (void)avi.GetDropped();
    }
    writer.join();
    EXPECT_TRUE(ordered);
    EXPECT_EQ(avi.GetFrameCount(), kFrames);
    EXPECT_EQ(avi.GetDropped(), kFrames - 1);
    EXPECT_TRUE(avi.Finish());
}

}  // namespace
