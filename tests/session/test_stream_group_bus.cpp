// Frame sets of two cameras of one simulated bus, started one after the other: the second
// starts frames later, its first frames pair with the first one's from then on, every set is
// complete, and the skew stays what the two starts made it. Real time: the cameras stream at
// their true rate.
#include <gtest/gtest.h>

#include "session/Camera.h"
#include "session/CameraManager.h"
#include "session/StreamGroup.h"
#include "tests/camera/CameraTestSupport.h"

namespace {

using namespace kestrix::session;
using namespace std::chrono_literals;

constexpr double kPeriodCycles = 8000.0 / 15;  // rate index 3

TEST(StreamGroupBus, CamerasStartedApartPairFromTheirFirstCommonFrame) {
    testsupport::SimulatedBus bus(cameratest::BusOptions(2, 1.0));
    ASSERT_TRUE(bus.IsRunning());
    Error error;
    auto manager = CameraManager::Create(CameraManager::Threading::OwnThread, error);
    ASSERT_TRUE(manager) << error.Message();
    std::vector<std::shared_ptr<Camera>> cameras;
    std::vector<std::shared_ptr<FrameStream>> streams(2);
    for (int i = 0; i < 2; ++i) {
        cameras.push_back(manager->Acquire(CameraPick{i, {}}, error));
        ASSERT_TRUE(cameras.back()) << error.Message();
        StreamConfig config;
        ASSERT_FALSE(cameras[i]->FindMode("640x480-mono8", config.mode));
        config.rateIndex = 3;
        config.ring = RingSize::Frames(32);
        ASSERT_FALSE(cameras[i]->Configure(config));
    }
    // The second starts once the first has sent a frame: at least a frame late.
    ASSERT_FALSE(cameras[0]->Start(streams[0]));
    std::vector<std::uint8_t> bytes(streams[0]->SlotBytes());
    FrameMetadata first;
    ASSERT_EQ(streams[0]->Next(bytes, first, 5s), FrameStream::Status::Frame);
    ASSERT_FALSE(cameras[1]->Start(streams[1]));

    StreamGroup group(streams, kPeriodCycles);
    FrameSet set;
    std::vector<std::uint64_t> last;
    std::uint32_t skew = 0;
    for (int n = 0; n < 20; ++n) {
        ASSERT_EQ(group.Next(set, 5s), FrameStream::Status::Frame) << "set " << n;
        ASSERT_TRUE(set.Complete()) << "set " << n;
        std::vector<std::uint64_t> sequences{set.members[0].meta.sequence,
                                             set.members[1].meta.sequence};
        if (n == 0) {
            EXPECT_GT(sequences[0], first.sequence);
            skew = set.skewCycles;
        } else {
            // One frame of each camera a set, none skipped, the two in the same phase.
            EXPECT_EQ(sequences[0], last[0] + 1) << "set " << n;
            EXPECT_EQ(sequences[1], last[1] + 1) << "set " << n;
            EXPECT_NEAR(double(set.skewCycles), double(skew), 2) << "set " << n;
        }
        last = sequences;
    }
    const StreamGroup::Counters counters = group.GetCounters();
    EXPECT_EQ(counters.sets, 20u);
    EXPECT_EQ(counters.incomplete, 0u);
    EXPECT_LE(counters.maxSkewCycles, kPeriodCycles / 2);
    for (auto& camera : cameras) EXPECT_FALSE(camera->Stop());
}

}  // namespace
