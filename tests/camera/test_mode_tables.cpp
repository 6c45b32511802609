// The fixed video-mode and packet tables, and the ring size taken from free memory.
#include <gtest/gtest.h>

#include <cstdint>

#include "camera/C1394Dcam.h"
#include "camera/VideoModeTables.h"

namespace {

constexpr std::uint32_t kMiB = 1024 * 1024;
const double kFramesPerSecond[camera::kRateCount] = {1.875, 3.75, 7.5, 15, 30, 60};

TEST(ModeTables, FrameGeometryOfTheFixedModes) {
    EXPECT_EQ(C1394Dcam::GetModeFrameBytes(2), 460800);  // 640 x 480 YUV 4:1:1
    EXPECT_EQ(C1394Dcam::GetModeFrameBytes(3), 614400);
    EXPECT_EQ(C1394Dcam::GetModeFrameBytes(12), 1024 * 768 * 3);
    EXPECT_EQ(C1394Dcam::GetModeFrameBytes(23), 1600 * 1200 * 2);
    EXPECT_EQ(C1394Dcam::GetModeWidth(9), 800);
    EXPECT_EQ(C1394Dcam::GetModeHeight(9), 600);
    EXPECT_EQ(C1394Dcam::GetModeColorCoding(9), 4);
    EXPECT_EQ(C1394Dcam::GetModeColorCoding(6), 5);
    // Row 7 is empty, and Format 7 or unknown indices have no row.
    for (const int index : {7, 24, 31, -1, 32}) {
        EXPECT_EQ(C1394Dcam::GetModeFrameBytes(index), 0) << index;
        EXPECT_EQ(C1394Dcam::GetModeWidth(index), 0) << index;
        EXPECT_EQ(C1394Dcam::GetModeColorCoding(index), 7) << index;
    }
}

// Every offered pair carries whole frames in whole packets within the 8000 cycles of a second.
TEST(ModeTables, EveryPacketSizeFitsItsFrameAndRate) {
    int offered = 0;
    for (int mode = 0; mode < camera::kFixedModeCount; ++mode) {
        const std::uint32_t frame = camera::FixedModeFrameBytes(mode);
        for (int rate = 0; rate < camera::kRateCount; ++rate) {
            const int quadlets = camera::PacketQuadlets(mode, rate);
            if (quadlets == 0) continue;
            ++offered;
            const std::uint32_t packet = 4 * std::uint32_t(quadlets);
            ASSERT_NE(frame, 0u) << mode;
            EXPECT_EQ(frame % packet, 0u) << mode << " at rate " << rate;
            EXPECT_LE(frame / packet * kFramesPerSecond[rate], 8000.0)
                << mode << " at rate " << rate;
            EXPECT_LE(packet, 4096u) << "beyond S400: " << mode << " at rate " << rate;
        }
    }
    EXPECT_EQ(offered, 83);
    EXPECT_EQ(camera::PacketQuadlets(3, 4), 640);
    EXPECT_EQ(camera::PacketQuadlets(3, 5), 0);
    EXPECT_EQ(camera::PacketQuadlets(3, 6), 0);
    EXPECT_EQ(camera::PacketQuadlets(24, 0), 0);
}

class BufferCount : public ::testing::Test {
protected:
    void Available(std::uint32_t bytes) {
        m_cam.SetMemoryProbe([bytes] { return bytes; });
    }
    C1394Dcam m_cam;
};

TEST_F(BufferCount, TakesTheShareWithSinglePrecision) {
    Available(512 * kMiB);
    // 268435450 bytes, slightly below half, gives 436 frames of 614400 bytes.
    EXPECT_EQ(m_cam.CalcBufferCount(3, 50, 1), 436);
    EXPECT_EQ(m_cam.CalcBufferCount(3, 50, 2), 218);
    // 402653175 bytes instead of the exact 402653184: one 786432-byte frame fewer than 512.
    EXPECT_EQ(m_cam.CalcBufferCount(13, 75, 1), 511);
}

TEST_F(BufferCount, StopsAt600MiB) {
    Available(0x80000000);  // 2 GiB
    EXPECT_EQ(m_cam.CalcBufferCount(3, 90, 1), 1024);
    Available(0xFFFFFFFF);
    EXPECT_EQ(m_cam.CalcBufferCount(5, 99, 1), 600 * 1024 * 1024 / 307200);
}

TEST_F(BufferCount, RefusesArgumentsOutOfRange) {
    Available(512 * kMiB);
    EXPECT_EQ(m_cam.CalcBufferCount(3, 100, 1), 0);
    EXPECT_EQ(m_cam.CalcBufferCount(3, 0, 1), 0);
    EXPECT_EQ(m_cam.CalcBufferCount(3, -10, 1), 0);
    EXPECT_EQ(m_cam.CalcBufferCount(3, 50, 0), 0);
    EXPECT_EQ(m_cam.CalcBufferCount(7, 50, 1), 0);
    EXPECT_EQ(m_cam.CalcBufferCount(24, 50, 1), 0);
    // No camera: its frame size is unknown.
    EXPECT_EQ(m_cam.CalcBufferCountForCamera(0, 50, 1), 0);
    Available(0);
    EXPECT_EQ(m_cam.CalcBufferCount(3, 50, 1), 0);
}

}  // namespace
