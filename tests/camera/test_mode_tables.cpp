// The fixed video-mode and packet tables, and the ring size taken from free memory.
#include <gtest/gtest.h>

#include "camera/C1394Dcam.h"
#include "camera/VideoModeTables.h"

namespace {

// Every offered pair carries whole frames in whole packets within a second's 8000 cycles.
TEST(ModeTables, EveryPacketSizeFitsItsFrameAndRate) {
    const double framesPerSecond[camera::kRateCount] = {1.875, 3.75, 7.5, 15, 30, 60};
    int offered = 0;
    for (int mode = 0; mode < camera::kFixedModeCount; ++mode) {
        const std::uint32_t frame = camera::FixedModeFrameBytes(mode);
        for (int rate = 0; rate < camera::kRateCount; ++rate) {
            const std::uint32_t packet = 4 * std::uint32_t(camera::PacketQuadlets(mode, rate));
            if (packet == 0) continue;
            ++offered;
            EXPECT_EQ(frame % packet, 0u) << mode << " at rate " << rate;
            EXPECT_LE(frame / packet * framesPerSecond[rate], 8000.0) << mode << " at " << rate;
        }
    }
    EXPECT_EQ(offered, 83);
    EXPECT_EQ(C1394Dcam::GetModeFrameBytes(2), 460800);  // 640 x 480 YUV 4:1:1
    for (const int index : {7, 24, -1}) EXPECT_EQ(C1394Dcam::GetModeColorCoding(index), 7);
}

TEST(ModeTables, BufferCountTakesASinglePrecisionShareUpTo600MiB) {
    C1394Dcam cam;
    std::uint32_t available = 512u << 20;
    cam.SetMemoryProbe([&] { return available; });
    // 268435450 bytes, a little under half: 436 frames of 614400 bytes.
    EXPECT_EQ(cam.CalcBufferCount(3, 50, 1), 436);
    EXPECT_EQ(cam.CalcBufferCount(3, 50, 2), 218);
    // 402653175 bytes instead of 402653184: 511 frames of 786432 bytes, not 512.
    EXPECT_EQ(cam.CalcBufferCount(13, 75, 1), 511);
    for (const int percent : {0, -10, 100}) EXPECT_EQ(cam.CalcBufferCount(3, percent, 1), 0);
    EXPECT_EQ(cam.CalcBufferCount(3, 50, 0), 0);
    EXPECT_EQ(cam.CalcBufferCount(24, 50, 1), 0);
    EXPECT_EQ(cam.CalcBufferCountForCamera(0, 50, 1), 0) << "no camera";
    available = 0x80000000;
    EXPECT_EQ(cam.CalcBufferCount(3, 90, 1), 1024);
}

}  // namespace
