// The cameras as every front end lists and picks them: names, GUIDs and nodes from the cameras,
// and the pick a user types.
#include "session/Camera.h"

#include <gtest/gtest.h>

#include "tests/camera/CameraTestSupport.h"

namespace {

using namespace kestrix::session;

TEST(CameraList, NamesGuidsAndNodesComeFromTheCameras) {
    testsupport::SimulatedBus bus(2);
    ASSERT_TRUE(bus.IsRunning());
    Error error;
    auto manager = CameraManager::Create(CameraManager::Threading::OwnThread, error);
    ASSERT_TRUE(manager) << error.Message();
    std::vector<CameraInfo> cameras;
    for (int tries = 0; tries < 100 && cameras.size() != 2; ++tries) {
        cameras = manager->Cameras(error);
        if (cameras.size() != 2) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(cameras.size(), 2u);
    EXPECT_FALSE(error) << error.Message();
    EXPECT_EQ(cameras[1].vendor, "Tarnwell");
    EXPECT_EQ(cameras[1].model, "KX-1360 (simulated)");
    EXPECT_NE(cameras[0].guid, cameras[1].guid);
    EXPECT_NE(cameras[0].node, cameras[1].node);
    EXPECT_EQ(cameras[1].Describe(), "1: Tarnwell KX-1360 (simulated) (GUID " +
                                         cameras[1].GuidText() + ", node " +
                                         std::to_string(cameras[1].node) + ")");
    // A pick by GUID finds the camera whatever its index.
    auto second = manager->Acquire(CameraPick{0, cameras[1].guid}, error);
    ASSERT_TRUE(second) << error.Message();
    EXPECT_EQ(second->Info().index, 1);
}

TEST(CameraList, APickIsAnIndexOrAWholeGuid) {
    EXPECT_EQ(CameraPick::Parse("0")->index, 0);
    EXPECT_EQ(CameraPick::Parse("63")->index, 63);
    EXPECT_EQ(*CameraPick::Parse("0x0001A2C3D4E5F607")->guid, 0x0001A2C3D4E5F607u);
    EXPECT_EQ(*CameraPick::Parse("0001a2c3d4e5f607")->guid, 0x0001A2C3D4E5F607u);
    for (const char* bad : {"", "64", "123", "-1", "0x12", "0000000000000000", "0001a2c3d4e5f60g",
                            "0001a2c3d4e5f6070"}) {
        EXPECT_FALSE(CameraPick::Parse(bad)) << bad;
    }
    EXPECT_EQ(*CameraPick::ParseGuid("0x12"), 0x12u);
    EXPECT_FALSE(CameraPick::ParseGuid("12345678901234567"));
}

}  // namespace
