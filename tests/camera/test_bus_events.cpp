// Device changes and bus resets against kestrix-busd: the camera table rebuilt in device order,
// captures stopped on a device change (with a display loop still reading) and kept across a bus
// reset (its stamps' step counting no loss), the clients told either way.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "bus/DriverCodes.h"
#include "camera/C1394Dcam.h"
#include "tests/camera/CameraTestSupport.h"

namespace {

using namespace cameratest;
using namespace cameratest::reg;

class BusEvents : public CameraTest {
protected:
    explicit BusEvents(unsigned cameras = 1) : CameraTest(cameras, RateScale(4)) {}

    void SetUp() override {
        CameraTest::SetUp();
        m_cam.RegisterClient(m_client.Handle(), bus::kWmCameraDeviceList);
    }
    CDcamCaptureThread* StartStreaming() {
        CDcamCaptureThread* thread = Start(3, 3, 5);
        if (thread == nullptr || !m_cam.StartTransmission(0, 0)) return nullptr;
        return WaitForStored(*thread, 2) ? thread : nullptr;
    }

    NoticeLog m_client;
};

class NoCameraAtFirst : public BusEvents {
protected:
    NoCameraAtFirst() : BusEvents(0) {}
};

TEST_F(NoCameraAtFirst, CamerasAreListedInDeviceOrderPastOtherUnits) {
    EXPECT_EQ(m_cam.GetDeviceCount(kCameras), 0);
    EXPECT_FALSE(m_cam.SelectCamera(0));
    ASSERT_TRUE(Busctl(m_bus, {"add-device"}) && Busctl(m_bus, {"add-camera"}));
    ASSERT_TRUE(PumpUntil([&] { return m_cam.GetDeviceCount(kCameras) == 1; }));
    EXPECT_EQ(m_cam.GetDevicePathCount(), 2u);
    EXPECT_EQ(m_cam.GetCameraDevice(0), 1) << "camera 0 is device 1";
    EXPECT_EQ(Read(kCurVMode), 3u << 29);
    ASSERT_TRUE(m_cam.SetVideoMode(0, 3, 3, false));

    ASSERT_TRUE(Busctl(m_bus, {"add-camera"}));
    ASSERT_TRUE(PumpUntil([&] { return m_cam.GetDeviceCount(kCameras) == 2; }));
    EXPECT_EQ(m_cam.GetCameraDevice(1), 2);
    EXPECT_EQ(m_cam.GetModeIndex(0), -1) << "a rescan forgets every set-up";
    EXPECT_TRUE(PumpUntil([&] { return m_client.Count(bus::kWmCameraDeviceList) >= 2; }));
}

TEST_F(BusEvents, AnUnplugStopsTheCaptureUnderARunningDisplayLoop) {
    CDcamCaptureThread* thread = StartStreaming();
    ASSERT_NE(thread, nullptr);
    std::atomic<bool> stop{false};
    std::atomic<int> frames{0};
    std::thread display([&, bytes = thread->GetSlotSize()] {
        std::vector<std::uint8_t> frame(bytes);
        while (!stop) {
            if (m_cam.WaitForFrame(0, 20) >= 0 && m_cam.GetFrame(0, frame.data(), -1) >= 0)
                ++frames;
        }
    });
    ASSERT_TRUE(PumpUntil([&] { return frames > 0; }));
    const std::size_t notices = m_client.Count(bus::kWmCameraDeviceList);

    ASSERT_TRUE(Busctl(m_bus, {"remove", "0"}));
    ASSERT_TRUE(PumpUntil([&] { return m_cam.GetDeviceCount(kCameras) == 0; }));
    EXPECT_EQ(m_cam.FindIsochThread(0), nullptr);
    EXPECT_EQ(m_cam.WaitForFrame(0, 0), 0);
    EXPECT_TRUE(PumpUntil([&] { return m_client.Count(bus::kWmCameraDeviceList) > notices; }));
    stop = true;
    display.join();
}

TEST_F(BusEvents, ACaptureGoesOnThroughABusReset) {
    CDcamCaptureThread* thread = StartStreaming();
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(m_bus.WaitForResetWaits(1));
    ASSERT_TRUE(Busctl(m_bus, {"bus-reset", "--renumber"}));
    ASSERT_TRUE(PumpUntil([&] { return m_client.Count(bus::kWmCameraBusReset) >= 1; }));
    EXPECT_EQ(m_cam.GetCaptureThread(0), thread);
    EXPECT_TRUE(WaitForStored(*thread, thread->GetStats().stored + 3));
    EXPECT_EQ(thread->m_nState, CIsochTransferThread::kStateRunning);
    EXPECT_EQ(Read(kIsoEnable), 0x80000000u) << "registers reached at the new node number";
    EXPECT_TRUE(m_cam.StopCapture(0));
}

// Another cycle master with a timer behind the old one: the capture counts no frame lost for
// the step, only what the camera's own counter shows missing. Also run over the fake kernel.
TEST_F(BusEvents, ACycleTimerThatStepsBackAtAResetCountsNoLoss) {
    CDcamCaptureThread* thread = StartStreaming();
    ASSERT_NE(thread, nullptr);
    thread->SetCounterCheck(true);
    ASSERT_TRUE(WaitForStored(*thread, thread->GetStats().stored + 2));
    const std::uint64_t lost = thread->GetStats().lost, gaps = thread->GetCounterGaps();
    ASSERT_TRUE(Busctl(m_bus, {"bus-reset", "--cycle-jump", "-3"}));
    ASSERT_TRUE(WaitForStored(*thread, thread->GetStats().stored + 10));
    EXPECT_LE(thread->GetStats().lost - lost, thread->GetCounterGaps() - gaps);
    EXPECT_TRUE(m_cam.StopCapture(0));
}

TEST_F(BusEvents, AnArrivingCameraStopsCapturesAndClosingStopsTheRest) {
    ASSERT_NE(StartStreaming(), nullptr);
    ASSERT_TRUE(Busctl(m_bus, {"add-camera"}));
    ASSERT_TRUE(PumpUntil([&] { return m_cam.GetDeviceCount(kCameras) == 2; }));
    EXPECT_EQ(m_cam.GetCaptureThread(0), nullptr);
    EXPECT_EQ(m_cam.GetModeIndex(0), -1);
    ASSERT_NE(StartStreaming(), nullptr) << "set up again, the camera captures as before";
    EXPECT_TRUE(m_cam.Close());
    EXPECT_EQ(m_cam.FindIsochThread(0), nullptr);
    EXPECT_EQ(m_cam.WaitForFrame(0, 0), 0);
}

}  // namespace
