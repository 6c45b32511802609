// Device changes and bus resets against kestrix-busd: the camera table rebuilt in device order,
// captures stopped on a device change (with readers still running) and kept across a bus
// reset, and the clients told either way.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "bus/DriverCodes.h"
#include "camera/C1394Dcam.h"
#include "tests/camera/CameraTestSupport.h"

namespace {

using namespace cameratest;

constexpr std::uint32_t kDeviceList = bus::kWmCameraDeviceList;
constexpr std::uint32_t kBusReset = bus::kWmCameraBusReset;

class BusEvents : public CameraTest {
protected:
    explicit BusEvents(unsigned cameras = 1) : CameraTest(BusOptions(cameras, RateScale(4))) {}

    void SetUp() override {
        CameraTest::SetUp();
        m_cam.RegisterClient(m_client.Handle(), kDeviceList);
    }
    CDcamCaptureThread* StartStreaming() {
        if (!m_cam.SetVideoMode(0, 3, 3, false) || !m_cam.StartCapture(0, kSpeed400, kSyncSy, 5) ||
            !m_cam.StartTransmission(0, 0)) {
            return nullptr;
        }
        CDcamCaptureThread* thread = m_cam.GetCaptureThread(0);
        return thread != nullptr && WaitForStored(*thread, 2) ? thread : nullptr;
    }

    NoticeLog m_client;
};

class NoCameraAtFirst : public BusEvents {
protected:
    NoCameraAtFirst() : BusEvents(0) {}
};

TEST_F(NoCameraAtFirst, CamerasAreListedInDeviceOrderPastOtherUnits) {
    EXPECT_EQ(m_cam.GetDeviceCount(kCameras), 0);
    DWORD value = 0;
    EXPECT_FALSE(m_cam.ReadRegister(0, reg::kBasicFuncInq, &value));
    EXPECT_FALSE(m_cam.SelectCamera(0));

    ASSERT_TRUE(Busctl(m_bus, {"add-device"}));
    ASSERT_TRUE(PumpUntil([&] { return m_cam.GetDevicePathCount() == 1; }));
    EXPECT_EQ(m_cam.GetDeviceCount(kCameras), 0) << "not a camera";

    ASSERT_TRUE(Busctl(m_bus, {"add-camera"}));
    ASSERT_TRUE(PumpUntil([&] { return m_cam.GetDeviceCount(kCameras) == 1; }));
    EXPECT_EQ(m_cam.GetCameraDevice(0), 1) << "camera 0 is device 1";
    EXPECT_TRUE(m_cam.ReadRegister(0, reg::kBasicFuncInq, &value));
    ASSERT_TRUE(m_cam.SetVideoMode(0, 3, 3, false));

    ASSERT_TRUE(Busctl(m_bus, {"add-camera"}));
    ASSERT_TRUE(PumpUntil([&] { return m_cam.GetDeviceCount(kCameras) == 2; }));
    EXPECT_EQ(m_cam.GetCameraDevice(0), 1);
    EXPECT_EQ(m_cam.GetCameraDevice(1), 2);
    EXPECT_EQ(m_cam.GetModeIndex(0), -1) << "a rescan forgets every set-up";
    EXPECT_TRUE(PumpUntil([&] { return m_client.Count(kDeviceList) >= 3; }));
}

TEST_F(BusEvents, AnUnplugStopsTheCaptureUnderRunningReaders) {
    CDcamCaptureThread* thread = StartStreaming();
    ASSERT_NE(thread, nullptr);
    const std::size_t bytes = thread->GetSlotSize();
    // A display loop on its own thread, as the viewer runs one.
    std::atomic<bool> stop{false};
    std::atomic<int> frames{0};
    std::thread display([&] {
        std::vector<std::uint8_t> frame(bytes);
        while (!stop) {
            if (m_cam.WaitForFrame(0, 20) >= 0 && m_cam.GetFrame(0, frame.data(), -1) >= 0)
                ++frames;
        }
    });
    ASSERT_TRUE(PumpUntil([&] { return frames > 0; }));
    const std::size_t noticesBefore = m_client.Count(kDeviceList);

    ASSERT_TRUE(Busctl(m_bus, {"remove", "0"}));
    ASSERT_TRUE(PumpUntil([&] { return m_cam.GetDeviceCount(kCameras) == 0; }));
    EXPECT_EQ(m_cam.FindIsochThread(0), nullptr);
    EXPECT_EQ(m_cam.GetCaptureThread(0), nullptr);
    EXPECT_EQ(m_cam.WaitForFrame(0, 0), 0);
    EXPECT_TRUE(PumpUntil([&] { return m_client.Count(kDeviceList) > noticesBefore; }));
    stop = true;
    display.join();
}

TEST_F(BusEvents, ACaptureGoesOnThroughABusReset) {
    CDcamCaptureThread* thread = StartStreaming();
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(Busctl(m_bus, {"bus-reset", "--renumber"}));
    ASSERT_TRUE(PumpUntil([&] { return m_client.Count(kBusReset) >= 1; }));
    EXPECT_EQ(m_cam.GetCaptureThread(0), thread);
    EXPECT_EQ(m_cam.GetDeviceCount(kCameras), 1);
    const std::uint64_t stored = thread->GetStats().stored;
    EXPECT_TRUE(WaitForStored(*thread, stored + 3));
    EXPECT_EQ(thread->m_nState, CIsochTransferThread::kStateRunning);
    EXPECT_EQ(thread->GetStats().readErrors, 0u);
    // Register access follows the new node numbers.
    EXPECT_EQ(Read(reg::kIsoEnable), 0x80000000u);
    EXPECT_TRUE(m_cam.StopCapture(0));
    EXPECT_EQ(Read(reg::kIsoEnable), 0u);
}

TEST_F(BusEvents, AnArrivingCameraStopsCapturesAndRebuildsTheTable) {
    ASSERT_NE(StartStreaming(), nullptr);
    ASSERT_TRUE(Busctl(m_bus, {"add-camera"}));
    ASSERT_TRUE(PumpUntil([&] { return m_cam.GetDeviceCount(kCameras) == 2; }));
    EXPECT_EQ(m_cam.GetCaptureThread(0), nullptr);
    EXPECT_EQ(m_cam.GetModeIndex(0), -1);
    // Set up again, the camera captures as before.
    CDcamCaptureThread* thread = StartStreaming();
    ASSERT_NE(thread, nullptr);
}

TEST_F(BusEvents, ClosingStopsRunningCaptures) {
    ASSERT_NE(StartStreaming(), nullptr);
    EXPECT_TRUE(m_cam.Close());
    EXPECT_EQ(m_cam.FindIsochThread(0), nullptr);
    EXPECT_EQ(m_cam.WaitForFrame(0, 0), 0);
}

}  // namespace
