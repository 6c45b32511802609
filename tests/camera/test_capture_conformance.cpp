// The conformance run: every mode the viewer offers, captured into rings of several sizes with
// and without SY synchronisation and packet mode, every frame present and in order, with
// start/stop cycles and stops while frames are still arriving. The bus runs at real time,
// where a frame period is 40 ms or more: margin enough for a loaded machine.
#include <gtest/gtest.h>

#include <string>

#include "camera/C1394Dcam.h"
#include "tests/camera/CameraTestSupport.h"

namespace {

using namespace cameratest;

struct OfferedMode {
    int modeIndex;
    int rateOrCoding;  // a rate index for 0..23, a colour coding for Format 7
    const char* name;
};

struct Pass {
    int slots;
    int flags;
};
constexpr Pass kPasses[] = {{2, kSyncSy}, {5, kSyncSy | 0x10}, {8, 0}};

class Conformance : public CameraTest, public ::testing::WithParamInterface<OfferedMode> {
protected:
    CDcamCaptureThread* StartPass(const Pass& pass) {
        return Start(GetParam().modeIndex, GetParam().rateOrCoding, pass.slots, pass.flags);
    }
    // Exactly as many frames as the ring has slots: all there, in order.
    void CaptureEveryFrame(const Pass& pass) {
        CDcamCaptureThread* thread = StartPass(pass);
        ASSERT_NE(thread, nullptr);
        EXPECT_EQ(thread->GetSlotSize(), std::uint32_t(m_cam.GetFrameBytes(0)));
        ASSERT_TRUE(m_cam.StartTransmission(0, pass.slots));
        ASSERT_TRUE(WaitForStored(*thread, std::uint64_t(pass.slots)))
            << m_bus.Busctl({"status"}).output;
        ExpectEveryFrameInOrder(*thread, pass.slots);
        const FrameRing::Stats stats = thread->GetStats();
        EXPECT_EQ(stats.dropped + stats.shortFrames + stats.readErrors, 0u);
        EXPECT_GE(m_cam.WaitForFrame(0, 10000), 0);
        EXPECT_TRUE(m_cam.StopCapture(0));
    }
};

TEST_P(Conformance, EveryFrameInEveryRing) {
    for (const Pass& pass : kPasses) {
        SCOPED_TRACE("ring of " + std::to_string(pass.slots) + ", flags " +
                     std::to_string(pass.flags));
        CaptureEveryFrame(pass);
    }
}

TEST_P(Conformance, StopsWhileFramesStillArrive) {
    for (const Pass& pass : kPasses) {
        CDcamCaptureThread* thread = StartPass(pass);
        ASSERT_NE(thread, nullptr);
        ASSERT_TRUE(m_cam.StartTransmission(0, 0));
        ASSERT_TRUE(WaitForStored(*thread, 2));
        // The camera keeps sending while the receive thread is stopped and removed.
        m_cam.StopAllCaptures();
        EXPECT_EQ(m_cam.WaitForFrame(0, 0), 0);
        ASSERT_TRUE(m_cam.StopTransmission(0));
    }
    CaptureEveryFrame({5, kSyncSy});  // nothing of the cut streams lingers
}

TEST_P(Conformance, QuickStartStopCycles) {
    for (int cycle = 0; cycle < 4; ++cycle) {
        ASSERT_NE(StartPass({3, kSyncSy}), nullptr) << "cycle " << cycle;
        if (cycle % 2 == 1) {
            ASSERT_TRUE(m_cam.StartTransmission(0, 0));
        }
        ASSERT_TRUE(m_cam.StopCapture(0)) << "cycle " << cycle;
    }
    CaptureEveryFrame({3, kSyncSy});
}

#if defined(__SANITIZE_THREAD__)
// Every mode runs the same threads: under ThreadSanitizer, whose runs take several times as
// long, the smallest and the largest fixed mode and Format 7 check them.
constexpr OfferedMode kModes[] = {{3, 3, "Vga422"}, {12, 2, "XgaRgb"}, {24, kRgb8, "Format7Rgb"}};
#else
constexpr OfferedMode kModes[] = {{3, 3, "Vga422"},
                                  {4, 3, "VgaRgb"},
                                  {8, 3, "Svga422"},
                                  {9, 3, "SvgaRgb"},
                                  {11, 3, "Xga422"},
                                  {12, 2, "XgaRgb"},
                                  {24, kYuv422, "Format7Yuv422"},
                                  {24, kRgb8, "Format7Rgb"}};
#endif

INSTANTIATE_TEST_SUITE_P(OfferedModes, Conformance, ::testing::ValuesIn(kModes),
                         [](const ::testing::TestParamInfo<OfferedMode>& mode) {
                             return std::string(mode.param.name);
                         });

}  // namespace
