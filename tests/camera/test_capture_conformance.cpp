// The conformance run: every mode the viewer offers, set up and captured into rings of several
// sizes with and without SY synchronisation and packet mode, every frame present and in order,
// with start/stop cycles and stops while frames are still arriving.
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

// A capture pass: ring slots and the capture flags.
struct Pass {
    int slots;
    int flags;
};
constexpr Pass kPasses[] = {{2, kSyncSy}, {5, kSyncSy | 0x10}, {8, 0}};

class Conformance : public ::testing::TestWithParam<OfferedMode> {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_bus.IsRunning());
        ASSERT_TRUE(m_cam.Open());
    }

    bool SetUpMode() {
        const OfferedMode& mode = GetParam();
        if (mode.modeIndex < 24)
            return m_cam.SetVideoMode(0, mode.modeIndex, mode.rateOrCoding, false);
        // As the viewer connects: the whole sensor in the chosen coding.
        C1394Dcam::Rect area{0, 0, 1359, 1023};
        return m_cam.SetFormat7Mode(0, mode.modeIndex, mode.rateOrCoding, &area);
    }

    // Captures exactly pass.slots frames into a ring of as many slots; all present, in order.
    void CaptureEveryFrame(const Pass& pass) {
        ASSERT_TRUE(m_cam.StartCapture(0, kSpeed400, pass.flags, pass.slots));
        CDcamCaptureThread* thread = m_cam.GetCaptureThread(0);
        ASSERT_NE(thread, nullptr);
        EXPECT_EQ(thread->GetSlotSize(), std::uint32_t(m_cam.GetFrameBytes(0)));
        ASSERT_TRUE(m_cam.StartTransmission(0, pass.slots));
        ASSERT_TRUE(WaitForStored(*thread, std::uint64_t(pass.slots)))
            << "stored " << thread->GetStats().stored << "\n" << m_bus.Busctl({"status"}).output;
        const auto stamps = StampsInOrder(*thread, pass.slots);
        ExpectConsecutive(stamps);
        const FrameRing::Stats stats = thread->GetStats();
        EXPECT_EQ(stats.dropped, 0u);
        EXPECT_EQ(stats.shortFrames, 0u);
        EXPECT_EQ(stats.readErrors, 0u);
        EXPECT_GE(m_cam.WaitForFrame(0, 10000), 0);
    }

    // At real time a frame period is 40 ms or more, margin enough for a loaded machine.
    testsupport::SimulatedBus m_bus{BusOptions(1, RateScale(1))};
    C1394Dcam m_cam;
};

TEST_P(Conformance, EveryFrameInEveryRing) {
    ASSERT_TRUE(SetUpMode());
    for (const Pass& pass : kPasses) {
        SCOPED_TRACE("ring of " + std::to_string(pass.slots) + ", flags " +
                     std::to_string(pass.flags));
        CaptureEveryFrame(pass);
        if (HasFatalFailure()) return;
        EXPECT_TRUE(m_cam.StopCapture(0));
        EXPECT_EQ(m_cam.GetCaptureThread(0), nullptr);
    }
}

TEST_P(Conformance, StopsWhileFramesStillArrive) {
    ASSERT_TRUE(SetUpMode());
    for (const Pass& pass : kPasses) {
        SCOPED_TRACE("ring of " + std::to_string(pass.slots));
        ASSERT_TRUE(m_cam.StartCapture(0, kSpeed400, pass.flags, pass.slots));
        CDcamCaptureThread* thread = m_cam.GetCaptureThread(0);
        ASSERT_NE(thread, nullptr);
        ASSERT_TRUE(m_cam.StartTransmission(0, 0));
        ASSERT_TRUE(WaitForStored(*thread, 2));
        // The camera keeps sending while the receive thread is stopped and removed.
        m_cam.StopAllCaptures();
        EXPECT_EQ(m_cam.GetCaptureThread(0), nullptr);
        EXPECT_EQ(m_cam.WaitForFrame(0, 0), 0);
        ASSERT_TRUE(m_cam.StopTransmission(0));
    }
    // Nothing of the interrupted streams lingers: the next capture starts clean.
    CaptureEveryFrame({5, kSyncSy});
}

TEST_P(Conformance, QuickStartStopCycles) {
    ASSERT_TRUE(SetUpMode());
    for (int cycle = 0; cycle < 4; ++cycle) {
        ASSERT_TRUE(m_cam.StartCapture(0, kSpeed400, kSyncSy, 3)) << "cycle " << cycle;
        if (cycle % 2 == 1) {
            ASSERT_TRUE(m_cam.StartTransmission(0, 0));
        }
        ASSERT_TRUE(m_cam.StopCapture(0)) << "cycle " << cycle;
    }
    CaptureEveryFrame({3, kSyncSy});
}

INSTANTIATE_TEST_SUITE_P(
    OfferedModes, Conformance,
    ::testing::Values(OfferedMode{3, 3, "Vga422"}, OfferedMode{4, 3, "VgaRgb"},
                      OfferedMode{8, 3, "Svga422"}, OfferedMode{9, 3, "SvgaRgb"},
                      OfferedMode{11, 3, "Xga422"}, OfferedMode{12, 2, "XgaRgb"},
                      OfferedMode{24, 2, "Format7Yuv422"}, OfferedMode{24, 0, "Format7Mono"}),
    [](const ::testing::TestParamInfo<OfferedMode>& mode) { return std::string(mode.param.name); });

}  // namespace
