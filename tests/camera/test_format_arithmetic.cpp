// Format 7 regions and packet sizes at the edges of what a camera takes, the frame rate a
// packet size gives, the bandwidth a stream needs and the reason when it does not fit; then the
// same limits, names and bandwidth in use read from simulated cameras.
#include "camera/BusBandwidth.h"
#include "camera/Format7Geometry.h"
#include "tests/camera/CameraTestSupport.h"

namespace cameratest {
namespace {

Format7Geometry Sensor(int unitLeft = 8) {
    Format7Geometry g;
    g.maxWidth = 1360;
    g.maxHeight = 1024;
    g.unitWidth = 8;
    g.unitHeight = 2;
    g.unitLeft = unitLeft;
    g.unitTop = 2;
    g.packetUnit = 8;
    g.packetMax = 4094;  // not a multiple of the unit
    return g;
}

TEST(Format7GeometryTest, RegionSnapsOntoTheCamerasGridAndStaysOnTheSensor) {
    const Format7Geometry g = Sensor();
    EXPECT_EQ(g.Fit({3, 5, 1001, 7}), (Format7Region{0, 4, 1000, 6}));
    EXPECT_EQ(g.Fit({0, 0, 0, 1}), (Format7Region{0, 0, 8, 2})) << "at least one step";
    EXPECT_EQ(g.Fit({-9, -3, 5000, 5000}), (Format7Region{0, 0, 1360, 1024}));
    EXPECT_EQ(g.Fit({1359, 1023, 16, 4}), (Format7Region{1344, 1020, 16, 4}))
        << "moved back onto the sensor";
    // Position steps apart from the size steps.
    EXPECT_EQ(Sensor(16).Fit({40, 0, 64, 2}), (Format7Region{32, 0, 64, 2}));
    EXPECT_EQ(Sensor(16).Fit({1352, 0, 8, 2}).left, 1344) << "on the position grid";
}

TEST(Format7GeometryTest, PacketSizeIsAMultipleOfTheUnitWithinWhatCameraAndSpeedCarry) {
    const Format7Geometry g = Sensor();
    EXPECT_EQ(g.FitPacket(0, 4096), 8);
    EXPECT_EQ(g.FitPacket(1027, 4096), 1024);
    EXPECT_EQ(g.FitPacket(9999, 4096), 4088) << "the camera's largest, on the unit";
    EXPECT_EQ(g.FitPacket(9999, 1024), 1024) << "S100's largest";
    EXPECT_EQ(g.LargestPacket(2048), 2048);
}

TEST(Format7GeometryTest, FrameRateFollowsThePacketsAFrameTakes) {
    const std::uint64_t full = Format7Geometry::FrameBytes({0, 0, 1360, 1024}, 0);
    EXPECT_EQ(full, 1392640u);
    EXPECT_EQ(Format7Geometry::PacketsPerFrame(full, 4096), 340u);
    EXPECT_EQ(Format7Geometry::PacketsPerFrame(full + 1, 4096), 341u) << "last packet padded";
    EXPECT_NEAR(Format7Geometry::FrameRate(full, 4096), 8000.0 / 340, 1e-9);
    EXPECT_EQ(Format7Geometry::FrameRate(full, 0), 0.0);
    EXPECT_EQ(Format7Geometry::FrameBytes({0, 0, 640, 480}, 1), 460800u) << "YUV 4:1:1, 12 bits";
    EXPECT_EQ(Format7Geometry::FrameBytes({0, 0, 640, 480}, 6), 1843200u) << "RGB 16, 48 bits";
}

TEST(BusBandwidthTest, StreamCostAndTheReasonWhenItDoesNotFit) {
    EXPECT_EQ(BusBandwidth::Units(4096, 2), 4364u);
    EXPECT_EQ(BusBandwidth::Units(1024, 0), 4400u);
    EXPECT_EQ(BusBandwidth::Refusal(3840, 2, BusBandwidth::kUnitsPerCycle), "");
    EXPECT_EQ(BusBandwidth::Refusal(1000, 2, 1268), "") << "exactly what is left";
    EXPECT_NE(BusBandwidth::Refusal(1000, 2, 1267), "");
    EXPECT_EQ(BusBandwidth::Refusal(3840, 2, 807),
              "the stream needs 4108 bandwidth units (83.6 %) at S400, the bus has 807 left "
              "(16.4 %)");
    EXPECT_EQ(BusBandwidth::Refusal(2052, 1, 4915),
              "packets of 2052 bytes are larger than the 2048 bytes S200 carries");
}

class TwoCamerasTest : public CameraTest {
protected:
    TwoCamerasTest() : CameraTest(2) {}
};

TEST_F(TwoCamerasTest, LimitsAndTheBandwidthOtherCamerasTakeComeFromTheCameras) {
    ASSERT_TRUE(PumpUntil([&] { return m_cam.GetDeviceCount(kCameras) == 2; }));
    const std::optional<Format7Geometry> g = Format7Geometry::Read(m_cam, 0, 0);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->maxWidth, 1360);
    EXPECT_EQ(g->maxHeight, 1024);
    EXPECT_EQ(g->unitWidth, 8);
    EXPECT_EQ(g->unitTop, 2);
    EXPECT_EQ(g->packetUnit, 4);

    EXPECT_EQ(BusBandwidth::UnitsInUse(m_cam, 1), 0u);
    ASSERT_NE(Start(4, 3, 4), nullptr);  // 640 x 480 RGB at 15 fps: 1920 bytes a packet
    ASSERT_TRUE(m_cam.StartTransmission(0, 0));
    EXPECT_EQ(BusBandwidth::UnitsInUse(m_cam, 1), BusBandwidth::Units(1920, kSpeed400));
    EXPECT_EQ(BusBandwidth::UnitsInUse(m_cam, 0), 0u) << "the camera asking is left out";
    m_cam.StopTransmission(0);
    m_cam.StopCapture(0);
}

}  // namespace
}  // namespace cameratest
