// Frame times on a live stream: each frame's sent time, mapped from its cycle stamp, against the
// instant the simulated camera sent it by its own record, and consecutive frames one period
// apart. Real time: the camera runs at its true rate.
// The wall clock may be slewed or stepped while the test runs (time synchronisation on a fresh
// machine), so a frame's UTC offset is held to the range of offsets seen across the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <sstream>
#include <vector>

#include "platform/ByteOrder.h"
#include "platform/CycleTimerReading.h"
#include "session/Camera.h"
#include "session/CameraManager.h"
#include "tests/camera/CameraTestSupport.h"

namespace {

using namespace kestrix::session;
using namespace std::chrono_literals;

constexpr std::int64_t kPeriodNs = 1'000'000'000 / 30;  // rate index 4
constexpr std::int64_t kCycleNs = 125'000;
// What reading the clocks may add: the daemon reads them together, microseconds apart.
constexpr std::int64_t kJitterNs = 50'000;

struct Taken {
    std::uint32_t counter;
    FrameMetadata meta;
};

// CLOCK_REALTIME less CLOCK_MONOTONIC, the offsets seen so far.
struct UtcOffsets {
    std::int64_t low = INT64_MAX, high = INT64_MIN;
    void Sample() {
        const std::int64_t offset = platform::RealtimeAt(0);
        low = std::min(low, offset);
        high = std::max(high, offset);
    }
};

// The simulator's own record: counter -> CLOCK_MONOTONIC ns its first packet's cycle began.
std::map<std::uint32_t, std::int64_t> SentRecord(const testsupport::SimulatedBus& bus) {
    std::map<std::uint32_t, std::int64_t> sent;
    std::istringstream lines(bus.Busctl({"sent", "0"}).output);
    std::uint32_t counter = 0;
    std::string stamp;
    std::int64_t ns = 0;
    while (lines >> counter >> stamp >> ns) sent[counter] = ns;
    return sent;
}

TEST(FrameTimes, SentTimesAreTheCamerasAndOnePeriodApart) {
    UtcOffsets offsets;
    offsets.Sample();
    testsupport::SimulatedBus bus(cameratest::BusOptions(1, 1.0));
    ASSERT_TRUE(bus.IsRunning());
    Error error;
    auto manager = CameraManager::Create(CameraManager::Threading::OwnThread, error);
    ASSERT_TRUE(manager) << error.Message();
    auto camera = manager->Acquire(CameraPick{}, error);
    ASSERT_TRUE(camera) << error.Message();
    StreamConfig config;
    ASSERT_FALSE(camera->FindMode("640x480-mono8", config.mode));
    config.rateIndex = 4;
    config.ring = RingSize::Frames(32);
    ASSERT_FALSE(camera->Configure(config));
    std::shared_ptr<FrameStream> stream;
    ASSERT_FALSE(camera->Start(stream));

    // Across two refreshes of the cycle timer reading.
    std::vector<Taken> frames;
    std::vector<std::uint8_t> pixels(stream->SlotBytes());
    while (frames.size() < 75) {
        FrameMetadata meta;
        ASSERT_EQ(stream->Next(pixels, meta, 5s), FrameStream::Status::Frame);
        offsets.Sample();
        frames.push_back({platform::LoadBE32(pixels.data()), meta});
    }
    const auto record = testsupport::SimulatedBus::OverFakeKernel()
                            ? std::map<std::uint32_t, std::int64_t>{}
                            : SentRecord(bus);
    ASSERT_FALSE(camera->Stop());

    std::int64_t worst = 0, worstGap = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const FrameMetadata& meta = frames[i].meta;
        ASSERT_NE(meta.sentNs, 0) << "frame " << i << " unmapped";
        EXPECT_LT(meta.sentNs, meta.arrivalNs) << "frame " << i;
        // Reading the two clocks may be split by a preemption on a busy machine.
        EXPECT_GE(meta.sentUtcNs - meta.sentNs, offsets.low - 1'000'000) << "frame " << i;
        EXPECT_LE(meta.sentUtcNs - meta.sentNs, offsets.high + 1'000'000) << "frame " << i;
        if (const auto sent = record.find(frames[i].counter); sent != record.end()) {
            worst = std::max(worst, std::abs(meta.sentNs - sent->second));
        } else {
            EXPECT_TRUE(record.empty()) << "frame " << frames[i].counter << " not in the record";
        }
        if (i == 0) continue;
        const std::int64_t periods = frames[i].counter - frames[i - 1].counter;
        const std::int64_t gap = meta.sentNs - frames[i - 1].meta.sentNs - periods * kPeriodNs;
        worstGap = std::max(worstGap, std::abs(gap));
    }
    EXPECT_LE(worst, kCycleNs + kJitterNs);
    EXPECT_LE(worstGap, kCycleNs + kJitterNs);
    std::printf("sent time against the simulator's record: worst %lld ns; period error: worst "
                "%lld ns\n",
                static_cast<long long>(worst), static_cast<long long>(worstGap));
}

}  // namespace
