// Cameras of one bus started together: one broadcast of ISO_EN puts every camera's first frame
// in the same bus cycle, and a loss injected on one camera is counted on that camera alone.
// Real time: the cameras stream at their true rate.
#include <gtest/gtest.h>

#include <vector>

#include "camera/CameraTrigger.h"
#include "session/CameraGroup.h"
#include "session/CameraManager.h"
#include "tests/camera/CameraTestSupport.h"

namespace {

using namespace kestrix::session;
using namespace std::chrono_literals;

// Seconds and cycle count of a cycle stamp, without the offset within the cycle.
std::uint32_t CycleOf(const FrameMetadata& meta) { return meta.cycleTime >> 12; }

struct Group {
    explicit Group(unsigned count) : bus(cameratest::BusOptions(count, 1.0)) {
        if (!bus.IsRunning()) return;
        Error error;
        manager = CameraManager::Create(CameraManager::Threading::OwnThread, error);
        EXPECT_TRUE(manager) << error.Message();
        for (unsigned i = 0; manager && i < count; ++i) {
            cameras.push_back(manager->Acquire(CameraPick{int(i), {}}, error));
            EXPECT_TRUE(cameras.back()) << error.Message();
        }
    }
    // Every camera at 640x480 mono8, 15 fps: four of them fit on the bus.
    void Start() {
        std::vector<StreamConfig> configs(cameras.size());
        for (std::size_t i = 0; i < cameras.size(); ++i) {
            ASSERT_FALSE(cameras[i]->FindMode("640x480-mono8", configs[i].mode));
            configs[i].rateIndex = 3;
            configs[i].ring = RingSize::Frames(32);
        }
        group.emplace(cameras);
        BusPlan plan;
        ASSERT_FALSE(group->Configure(configs, plan));
        const Error error = group->Start(streams);
        ASSERT_FALSE(error) << error.Message();
        ASSERT_EQ(streams.size(), cameras.size());
    }
    FrameMetadata Next(std::size_t camera) {
        std::vector<std::uint8_t> pixels(streams[camera]->SlotBytes());
        FrameMetadata meta;
        EXPECT_EQ(streams[camera]->Next(pixels, meta, 5s), FrameStream::Status::Frame);
        return meta;
    }

    testsupport::SimulatedBus bus;
    std::shared_ptr<CameraManager> manager;
    std::vector<std::shared_ptr<Camera>> cameras;
    std::optional<CameraGroup> group;
    std::vector<std::shared_ptr<FrameStream>> streams;
};

void ExpectFirstFramesInOneCycle(unsigned count) {
    Group g(count);
    ASSERT_EQ(g.cameras.size(), count);
    ASSERT_NO_FATAL_FAILURE(g.Start());
    EXPECT_TRUE(g.group->Broadcast()) << "the cameras are of one model";
    std::vector<std::uint32_t> first;
    for (std::size_t i = 0; i < count; ++i) {
        EXPECT_TRUE(g.cameras[i]->Transmitting()) << "camera " << i;
        const FrameMetadata meta = g.Next(i);
        EXPECT_EQ(meta.sequence, 0u) << "camera " << i;
        first.push_back(CycleOf(meta));
    }
    for (std::size_t i = 1; i < count; ++i) EXPECT_EQ(first[i], first[0]) << "camera " << i;
    EXPECT_FALSE(g.group->Stop());
    for (const auto& camera : g.cameras) {
        EXPECT_EQ(camera->GetState(), Camera::State::Configured);
        EXPECT_FALSE(camera->Transmitting());
    }
}

TEST(CameraGroup, TwoCamerasStartInOneCycle) { ExpectFirstFramesInOneCycle(2); }

TEST(CameraGroup, FourCamerasStartInOneCycle) { ExpectFirstFramesInOneCycle(4); }

TEST(CameraGroup, OneSoftwareTriggerBringsEachCamerasFrameInOneCycle) {
    Group g(2);
    ASSERT_EQ(g.cameras.size(), 2u);
    for (const auto& camera : g.cameras) {
        ASSERT_FALSE(camera->Call([&](C1394Dcam& cam, int index) {
            return camera->Trigger(cam, index)
                           .Write({true, 0, CameraTrigger::kSoftwareSource, false, 0})
                       ? Error()
                       : Error(Error::Kind::Failed, "trigger not set");
        }));
    }
    ASSERT_NO_FATAL_FAILURE(g.Start());
    ASSERT_FALSE(g.group->Trigger());
    EXPECT_EQ(CycleOf(g.Next(0)), CycleOf(g.Next(1)));
    ASSERT_FALSE(g.group->Trigger());
    const FrameMetadata first = g.Next(0), second = g.Next(1);
    EXPECT_EQ(CycleOf(first), CycleOf(second));
    EXPECT_EQ(first.lostBefore + second.lostBefore, 0u) << "a triggered camera loses nothing";
}

TEST(CameraGroup, LostFramesAreCountedOnTheirCameraAlone) {
    constexpr std::uint64_t kLost = 3;
    Group g(2);
    ASSERT_EQ(g.cameras.size(), 2u);
    ASSERT_NO_FATAL_FAILURE(g.Start());
    g.Next(1);
    ASSERT_TRUE(g.bus.Busctl({"fault", "lost-frame", std::to_string(kLost), "--camera", "1"}).Ok());
    // Past the lost frames: the camera's sequence moved on by them, its clock kept.
    std::uint64_t lost = 0;
    FrameMetadata meta;
    for (int i = 0; i < 8; ++i) {
        meta = g.Next(1);
        lost += meta.lostBefore;
    }
    EXPECT_EQ(lost, kLost);
    EXPECT_EQ(g.streams[1]->Counters().lost, kLost);
    EXPECT_EQ(meta.sequence, 8 + kLost);
    // The other camera sent every frame of the same periods.
    FrameMetadata other;
    while (other.sequence < meta.sequence) other = g.Next(0);
    EXPECT_EQ(g.streams[0]->Counters().lost, 0u);
    EXPECT_EQ(CycleOf(other), CycleOf(meta));
}

TEST(CameraGroup, RefusesCamerasOfNoGroup) {
    CameraGroup empty({});
    std::vector<std::shared_ptr<FrameStream>> streams;
    EXPECT_EQ(empty.Start(streams).GetKind(), Error::Kind::Refused);
}

}  // namespace
