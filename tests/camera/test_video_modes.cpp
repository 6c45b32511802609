// Video-mode set-up against kestrix-busd: inquiry checks, the registers written, Format 7
// areas, the isochronous channel, and the geometry read back from the camera.
#include <gtest/gtest.h>

#include "camera/C1394Dcam.h"
#include "camera/VideoModeTables.h"
#include "tests/camera/CameraTestSupport.h"

namespace {

using namespace cameratest;
using namespace cameratest::reg;

class VideoModes : public CameraTest {
protected:
    bool SetArea(int coding, C1394Dcam::Rect area) {
        return m_cam.SetFormat7Mode(0, 24, coding, &area);
    }
};

TEST_F(VideoModes, ARateTheCameraLacksIsRefusedUnlessUnchecked) {
    ASSERT_TRUE(m_cam.SetVideoMode(0, 5, 1, false));  // 640 x 480 mono at 3.75 fps
    EXPECT_FALSE(m_cam.SetVideoMode(0, 3, 5, false)) << "no 60 fps for 640 x 480 YUV 4:2:2";
    EXPECT_EQ(Read(kCurVMode), 5u << 29) << "nothing written";
    EXPECT_EQ(Read(kCurVFrmRate), 1u << 29);
    ASSERT_TRUE(m_cam.SetVideoMode(0, 3, 5, true));
    EXPECT_EQ(Read(kCurVFormat), 0u);
    EXPECT_EQ(Read(kCurVMode), 3u << 29);
    EXPECT_EQ(Read(kCurVFrmRate), 5u << 29);
    EXPECT_EQ(m_cam.GetModeIndex(0), 3);
    EXPECT_EQ(m_cam.GetRateIndex(0), 5);

    EXPECT_FALSE(m_cam.SetVideoMode(0, 16, 2, false)) << "the camera has no format 2";
    for (const int index : {-1, 32}) EXPECT_FALSE(m_cam.SetVideoMode(0, index, 0, true));
    EXPECT_EQ(m_cam.GetModeIndex(0), 3);
}

// Unchecked, any rate that fits the register's 3-bit field is written and recorded, even past
// the rate table; such a rate has no packet size, so no capture starts on it.
TEST_F(VideoModes, UncheckedRatesPastTheTableFitTheField) {
    for (const int rate : {6, 7}) {
        SCOPED_TRACE(rate);
        EXPECT_FALSE(m_cam.SetVideoMode(0, 3, rate, false)) << "the camera lists no such rate";
        ASSERT_TRUE(m_cam.SetVideoMode(0, 3, rate, true));
        EXPECT_EQ(Read(kCurVFrmRate), DWORD(rate) << 29);
        EXPECT_EQ(m_cam.GetRateIndex(0), rate);
        EXPECT_EQ(m_cam.GetBytesPerPacket(0), 0);
        EXPECT_FALSE(m_cam.StartCapture(0, kSpeed400, kSyncSy, 5));
    }
    for (const int rate : {-1, 8}) EXPECT_FALSE(m_cam.SetVideoMode(0, 4, rate, true)) << rate;
    EXPECT_EQ(Read(kCurVMode), 3u << 29) << "nothing written";
    EXPECT_EQ(m_cam.GetRateIndex(0), 7);
}

// The camera's rate inquiry and the library's packet table agree on every fixed mode.
TEST_F(VideoModes, RateInquiryMatchesThePacketTable) {
    for (int index = 0; index < 16; ++index) {
        const DWORD listed = Read(kVRateInqFormat0 + 32 * DWORD(index / 8) + 4 * DWORD(index % 8));
        for (int rate = 0; rate < camera::kRateCount; ++rate) {
            const bool offered = listed & (0x80000000u >> rate);
            EXPECT_EQ(offered, camera::PacketQuadlets(index, rate) != 0) << index << " at " << rate;
        }
    }
}

TEST_F(VideoModes, GeometryOfFixedModes) {
    ASSERT_TRUE(m_cam.SetVideoMode(0, 3, 4, false));
    EXPECT_EQ(m_cam.GetBytesPerPacket(0), 2560);
    EXPECT_EQ(m_cam.GetWidth(0), 640);
    EXPECT_EQ(m_cam.GetFrameBytes(0), 614400);
    EXPECT_EQ(m_cam.GetColorCoding(0), kYuv422);
    EXPECT_EQ(m_cam.GetColorCoding(1), 7) << "no camera 1";
    ASSERT_TRUE(m_cam.SetIsoChannel(0, 1, 5));
    EXPECT_EQ(Read(kIsoChannel), 0x51000000u);
    EXPECT_FALSE(m_cam.SetIsoChannel(0, 3, 5));
}

TEST_F(VideoModes, Format7ThroughSetVideoModeTakesACoding) {
    ASSERT_TRUE(m_cam.SetVideoMode(0, 24, kRgb8, false));
    EXPECT_EQ(m_cam.GetRateIndex(0), 0);
    EXPECT_EQ(Read(kCurVFormat), 0xE0000000u);
    EXPECT_EQ(ReadFormat7(kColorCodingId), 0x04000000u);
    EXPECT_FALSE(m_cam.SetVideoMode(0, 24, 5, false)) << "no mono 16 in Format 7";
    EXPECT_FALSE(m_cam.SetVideoMode(0, 25, kMono8, false)) << "no Format 7 mode 1";
}

TEST_F(VideoModes, Format7Area) {
    ASSERT_TRUE(SetArea(kYuv422, {0, 0, 1359, 1023}));
    EXPECT_EQ(ReadFormat7(kImagePosition), 0u);
    EXPECT_EQ(ReadFormat7(kImageSize), 0x05500400u);
    EXPECT_EQ(m_cam.GetBytesPerPacket(0), 4096) << "the largest packets S400 carries";
    EXPECT_EQ(m_cam.GetHeight(0), 1024);
    EXPECT_EQ(m_cam.GetFrameBytes(0), 1360 * 1024 * 2);
    EXPECT_EQ(m_cam.GetColorCoding(0), kYuv422);
    ASSERT_TRUE(SetArea(kMono8, {80, 40, 80 + 639, 40 + 479}));
    EXPECT_EQ(ReadFormat7(kImagePosition), 0x00500028u);
    EXPECT_EQ(ReadFormat7(kImageSize), 0x028001E0u);
    EXPECT_EQ(m_cam.GetWidth(0), 640);
}

TEST_F(VideoModes, Format7AreaOffTheGridIsRefusedBeforeAnyWrite) {
    ASSERT_TRUE(m_cam.SetVideoMode(0, 3, 3, false));
    EXPECT_FALSE(SetArea(kMono8, {3, 0, 642, 479})) << "left 3 on a unit of 8";
    EXPECT_FALSE(SetArea(kMono8, {0, 1, 639, 480})) << "top 1 on a unit of 2";
    EXPECT_FALSE(SetArea(kMono8, {0, 0, 1367, 1023})) << "wider than the sensor";
    EXPECT_FALSE(SetArea(kMono8, {8, 8, 7, 100})) << "empty";
    EXPECT_FALSE(SetArea(kMono8, {-8, 0, 100, 100})) << "left of the sensor";
    EXPECT_FALSE(SetArea(6, {0, 0, 639, 479})) << "no RGB 16";
    EXPECT_FALSE(m_cam.SetFormat7Mode(0, 24, kMono8, nullptr));
    EXPECT_EQ(Read(kCurVFormat), 0u);
    EXPECT_EQ(ReadFormat7(kImageSize), 0x05500400u);
}

}  // namespace
