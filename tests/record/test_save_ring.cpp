// Saving a ring: the frames it holds, oldest first, from a stream that runs or has stopped, read
// back from the SER file by its published layout, with one log row each and its sent time.
#include "record/SaveRing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "platform/CycleTimerReading.h"

#include "tests/support/TempDir.h"

namespace {

using kestrix::record::RecordingSetup;
using kestrix::session::FrameStream;

constexpr int kWidth = 4, kHeight = 2;
constexpr std::uint32_t kBytes = kWidth * kHeight;
constexpr std::uint64_t kPeriodTicks = platform::kTicksPerSecond / 30;
constexpr std::uint64_t kReadingTicks = 50 * platform::kTicksPerSecond;

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

// The log's sent_monotonic_ns column, each row's sent_utc checked present.
std::vector<std::int64_t> SentTimes(const std::string& csv) {
    std::ifstream in(csv);
    std::vector<std::int64_t> sent;
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream row(line);
        std::vector<std::string> fields;
        for (std::string field; std::getline(row, field, ',');) fields.push_back(field);
        EXPECT_EQ(fields.size(), 8u) << line;
        if (fields.size() != 8) continue;
        sent.push_back(std::stoll(fields[5]));
        EXPECT_FALSE(fields[6].empty()) << line;
    }
    return sent;
}

// A bus whose cycle timer read kReadingTicks as the stream began.
FrameStream::Bus ReadTimerOnce() {
    FrameStream::Bus bus;
    bus.cycleTimer = [] {
        using namespace std::chrono;
        return std::optional(platform::CycleTimerReading{
            platform::CycleTimerOf(kReadingTicks),
            duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count(),
            duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count()});
    };
    return bus;
}

TEST(SaveRing, WritesTheFramesTheRingHoldsOldestFirst) {
    testsupport::TempDir dir("save-ring");
    auto ring = std::make_shared<FrameRing>();
    ASSERT_TRUE(ring->Alloc(kBytes, 4));
    FrameStream stream(ring, kBytes, ReadTimerOnce());
    RecordingSetup setup;
    setup.format = kestrix::record::FrameFormat::Of({"4x2-mono8", 0, 0, kWidth, kHeight}, 30);
    setup.path = (dir.Path() / "none.ser").string();
    kestrix::record::SaveRingResult result;
    std::string error;
    EXPECT_FALSE(kestrix::record::SaveRing(stream, setup, 0, {}, result, error));
    EXPECT_EQ(error, "the ring holds no frame");

    // Stamped one frame period apart in whole cycles, as a camera stamps, before the reading.
    for (std::uint8_t mark = 1; mark <= 6; ++mark) {
        const std::uint64_t ticks = kReadingTicks - (7 - mark) * kPeriodTicks;
        ring->Store(
            std::vector<std::uint8_t>(kBytes, mark),
            platform::CycleTimerOf(ticks / platform::kTicksPerCycle * platform::kTicksPerCycle));
    }
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
    const std::vector<std::int64_t> sent = SentTimes(setup.path + ".csv");
    ASSERT_EQ(sent.size(), 4u);
    for (std::size_t k = 1; k < sent.size(); ++k)
        EXPECT_NEAR(double(sent[k] - sent[k - 1]), 1e9 / 30, 125e3) << "row " << k;

    // Stopped, and cancelled after two frames: the file keeps those two, finished.
    stream.Stop();
    setup.path = (dir.Path() / "two.ser").string();
    ASSERT_TRUE(kestrix::record::SaveRing(
        stream, setup, 0, [](std::uint64_t done, std::uint64_t) { return done < 2; }, result,
        error));
    EXPECT_EQ(SerMarks(setup.path), (std::vector<int>{3, 4}));
}

}  // namespace
