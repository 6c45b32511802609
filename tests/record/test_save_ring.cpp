// Saving a ring: the frames it holds, oldest first, from a stream that runs or has stopped, read
// back from the SER file by its published layout, with one log row each.
#include "record/SaveRing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <vector>

#include "tests/support/TempDir.h"

namespace {

using kestrix::record::RecordingSetup;
using kestrix::session::FrameStream;

constexpr int kWidth = 4, kHeight = 2;
constexpr std::uint32_t kBytes = kWidth * kHeight;

std::vector<std::uint8_t> Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The first byte of each frame in a mono 8 SER file.
std::vector<int> SerMarks(const std::string& path) {
    const auto data = Contents(path);
    EXPECT_GE(data.size(), 178u);
    const int count = data[38] | data[39] << 8 | data[40] << 16 | data[41] << 24;
    std::vector<int> marks;
    for (int i = 0; i < count; ++i) marks.push_back(data[178 + std::size_t(i) * kBytes]);
    EXPECT_EQ(data.size(), 178u + count * (kBytes + 8u));  // frames and their trailer
    return marks;
}

std::size_t Lines(const std::string& path) {
    const auto data = Contents(path);
    return std::size_t(std::count(data.begin(), data.end(), '\n'));
}

TEST(SaveRing, WritesTheFramesTheRingHoldsOldestFirst) {
    testsupport::TempDir dir("save-ring");
    auto ring = std::make_shared<FrameRing>();
    ASSERT_TRUE(ring->Alloc(kBytes, 4));
    FrameStream stream(ring, kBytes);
    RecordingSetup setup;
    setup.format = kestrix::record::FrameFormat::Of({"4x2-mono8", 0, 0, kWidth, kHeight}, 30);
    setup.path = (dir.Path() / "none.ser").string();
    kestrix::record::SaveRingResult result;
    std::string error;
    EXPECT_FALSE(kestrix::record::SaveRing(stream, setup, 0, {}, result, error));
    EXPECT_EQ(error, "the ring holds no frame");

    for (std::uint8_t mark = 1; mark <= 6; ++mark) ring->Store(std::vector<std::uint8_t>(kBytes, mark));
    std::vector<std::uint64_t> progress;
    setup.path = (dir.Path() / "ring.ser").string();
    ASSERT_TRUE(kestrix::record::SaveRing(
        stream, setup, 0,
        [&](std::uint64_t done, std::uint64_t total) {
            progress.push_back(done * 10 + total);
            return true;
        },
        result, error))
        << error;
    EXPECT_EQ(SerMarks(setup.path), (std::vector<int>{3, 4, 5, 6}));
    EXPECT_EQ(progress, (std::vector<std::uint64_t>{14, 24, 34, 44}));
    EXPECT_EQ(Lines(setup.path + ".csv"), 5u);

    // Stopped, and cancelled after two frames: the file keeps those two, finished.
    stream.Stop();
    setup.path = (dir.Path() / "two.ser").string();
    ASSERT_TRUE(kestrix::record::SaveRing(
        stream, setup, 0, [](std::uint64_t done, std::uint64_t) { return done < 2; }, result,
        error));
    EXPECT_EQ(SerMarks(setup.path), (std::vector<int>{3, 4}));
}

}  // namespace
