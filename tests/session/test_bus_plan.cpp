// The bus plan of cameras on a running bus: read from their registers and what the daemon
// reports, the Format 7 packet a camera gets from what the bus has left, and a stream beyond
// the host controller's receive contexts refused by the planner, as the kernel would refuse it.
#include <gtest/gtest.h>

#include "camera/BusBandwidth.h"
#include "session/BusPlanner.h"
#include "session/CameraManager.h"
#include "tests/camera/CameraTestSupport.h"

namespace {

using namespace kestrix::session;

struct Rig {
    explicit Rig(const testsupport::SimulatedBus::Options& options) : bus(options) {}

    void Acquire(unsigned count) {
        ASSERT_TRUE(bus.IsRunning());
        Error error;
        manager = CameraManager::Create(CameraManager::Threading::OwnThread, error);
        ASSERT_TRUE(manager) << error.Message();
        for (unsigned i = 0; i < count; ++i) {
            cameras.push_back(manager->Acquire(CameraPick{int(i), {}}, error));
            ASSERT_TRUE(cameras.back()) << error.Message();
        }
    }
    StreamConfig Config(const char* mode, int rateIndex = 4) {
        StreamConfig config;
        EXPECT_FALSE(cameras.front()->FindMode(mode, config.mode));
        config.rateIndex = rateIndex;
        config.ring = RingSize::Frames(4);
        return config;
    }
    int BytesPerPacket(Camera& camera) {
        int bytes = 0;
        camera.Call([&](C1394Dcam& cam, int index) { bytes = cam.GetBytesPerPacket(index); });
        return bytes;
    }

    testsupport::SimulatedBus bus;
    std::shared_ptr<CameraManager> manager;
    std::vector<std::shared_ptr<Camera>> cameras;
};

TEST(BusPlan, RefusesStreamsBeyondTheReceiveContextsBeforeTheKernelDoes) {
    testsupport::SimulatedBus::Options options = cameratest::BusOptions(2, 1.0);
    options.extraArguments = {"--receive-contexts", "1"};
    Rig rig(options);
    ASSERT_NO_FATAL_FAILURE(rig.Acquire(2));
    const StreamConfig config = rig.Config("640x480-mono8");

    BusPlan plan;
    ASSERT_FALSE(BusPlanner::Plan(rig.cameras, {config, config}, plan));
    EXPECT_EQ(plan.receiveContexts, 1);
    EXPECT_EQ(plan.unitsFree, 4915u);
    ASSERT_EQ(plan.cameras.size(), 2u);
    EXPECT_EQ(plan.cameras[1].camera, 1);
    EXPECT_EQ(plan.cameras[1].guid, rig.cameras[1]->Info().guid);
    EXPECT_FALSE(plan.fits);
    EXPECT_EQ(plan.refusal,
              "2 cameras need 2 receive contexts, the host controller has 1: run at most 1 of them "
              "at a time");

    // As the sentence says: one camera fits, and streams.
    ASSERT_FALSE(BusPlanner::Plan({rig.cameras[0]}, {config}, plan));
    EXPECT_TRUE(plan.fits) << plan.refusal;
    ASSERT_FALSE(rig.cameras[0]->Configure(plan.cameras[0].config));
    std::shared_ptr<FrameStream> first, second;
    ASSERT_FALSE(rig.cameras[0]->Start(first));

    // The second is refused with the first one's stream named as what holds the context.
    ASSERT_FALSE(BusPlanner::Plan({rig.cameras[1]}, {config}, plan));
    EXPECT_EQ(plan.receiveContexts, 0);
    EXPECT_EQ(plan.unitsFree, 4915u - plan.cameras[0].units);
    EXPECT_EQ(plan.refusal,
              "1 camera needs 1 receive context, the host controller has 0: stop another stream "
              "first");
    // The kernel has no second context either (the simulated bus does not count them).
    if (testsupport::SimulatedBus::OverFakeKernel()) {
        ASSERT_FALSE(rig.cameras[1]->Configure(config));
        EXPECT_TRUE(rig.cameras[1]->Start(second));
    }
}

TEST(BusPlan, Format7TakesTheLargestPacketTheBusHasLeft) {
    Rig rig(cameratest::BusOptions(2, 1.0));
    ASSERT_NO_FATAL_FAILURE(rig.Acquire(2));
    const StreamConfig config = rig.Config("1360x1024-mono8");

    // Alone on the bus: the largest packet S400 carries.
    ASSERT_FALSE(rig.cameras[0]->Configure(config));
    EXPECT_EQ(rig.BytesPerPacket(*rig.cameras[0]), 4096);
    std::shared_ptr<FrameStream> first, second;
    ASSERT_FALSE(rig.cameras[0]->Start(first));

    // Beside it: the largest packet what is left carries, and it streams.
    const unsigned left = 4915 - BusBandwidth::Units(4096, 2);
    const int largest = int(left - BusBandwidth::Units(0, 2)) / 4 * 4;
    BusPlan plan;
    ASSERT_FALSE(BusPlanner::Plan({rig.cameras[1]}, {config}, plan));
    EXPECT_EQ(plan.unitsFree, left);
    EXPECT_TRUE(plan.fits) << plan.refusal;
    EXPECT_EQ(plan.cameras[0].packetBytes, largest);
    ASSERT_FALSE(rig.cameras[1]->Configure(config));
    EXPECT_EQ(rig.BytesPerPacket(*rig.cameras[1]), largest);
    EXPECT_FALSE(rig.cameras[1]->Start(second));
    FrameMetadata meta;
    std::vector<std::uint8_t> bytes(second->SlotBytes());
    EXPECT_EQ(second->Next(bytes, meta, std::chrono::seconds(30)), FrameStream::Status::Frame);
}

}  // namespace
