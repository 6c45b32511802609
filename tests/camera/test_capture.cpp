// Capture against kestrix-busd: starting and stopping, rings of 2 and 5 slots, one-shot and
// multi-shot transmission, packet mode, read errors, and a capture that cannot listen.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "camera/C1394Dcam.h"
#include "tests/camera/CameraTestSupport.h"

namespace {

using namespace cameratest;
using namespace cameratest::reg;

constexpr int kYuv422Vga = 3;
constexpr int kRate15 = 3;

class Capture : public CameraTest {
protected:
    Capture() : CameraTest(BusOptions(1, RateScale(1))) {}

    // 640 x 480 YUV 4:2:2 at 15 fps, captured into a ring of frames slots.
    CDcamCaptureThread* Start(int frames, int flags = kSyncSy) {
        if (!m_cam.SetVideoMode(0, kYuv422Vga, kRate15, false)) return nullptr;
        if (!m_cam.StartCapture(0, kSpeed400, flags, frames)) return nullptr;
        return m_cam.GetCaptureThread(0);
    }
    std::vector<std::uint8_t> Frame(int slot, int* copied) {
        std::vector<std::uint8_t> frame(std::size_t(m_cam.GetFrameBytes(0)));
        *copied = m_cam.GetFrame(0, frame.data(), slot);
        return frame;
    }
    int CopiedSlot(int slot) {
        int copied = -2;
        Frame(slot, &copied);
        return copied;
    }
};

TEST_F(Capture, RefusesToStartWithoutSetUpOrWithBadArguments) {
    EXPECT_FALSE(m_cam.StartCapture(0, kSpeed400, kSyncSy, 5)) << "no video mode set";
    ASSERT_TRUE(m_cam.SetVideoMode(0, kYuv422Vga, kRate15, false));
    EXPECT_FALSE(m_cam.StartCapture(0, kSpeed400, kSyncSy, 1));
    EXPECT_FALSE(m_cam.StartCapture(0, kSpeed400, kSyncSy, -5));
    EXPECT_FALSE(m_cam.StartCapture(0, 3, kSyncSy, 5));
    EXPECT_FALSE(m_cam.StartCapture(1, kSpeed400, kSyncSy, 5));
    EXPECT_EQ(m_cam.GetCaptureThread(0), nullptr);
}

TEST_F(Capture, NothingToReadBeforeTheFirstFrame) {
    EXPECT_EQ(m_cam.WaitForFrame(0, 10), 0) << "no capture: 0, so callers check GetFrame too";
    EXPECT_EQ(CopiedSlot(-1), -1);
    ASSERT_NE(Start(5), nullptr);
    EXPECT_EQ(m_cam.WaitForFrame(0, 0), -1);
    EXPECT_EQ(CopiedSlot(-1), -1);
    EXPECT_EQ(m_cam.GetFrame(0, nullptr, 0), -1);
}

TEST_F(Capture, TwoSlotsAlternate) {
    CDcamCaptureThread* thread = Start(2);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(thread->m_nState, CIsochTransferThread::kStateRunning);
    ASSERT_TRUE(m_cam.StartTransmission(0, 3));
    ASSERT_TRUE(WaitForStored(*thread, 3));
    EXPECT_EQ(thread->GetWriteIndex(), 1);
    int copied = -1;
    const auto newest = Frame(-1, &copied);
    EXPECT_EQ(copied, 0);
    const auto older = Frame(1, &copied);
    EXPECT_EQ(copied, 1);
    EXPECT_EQ(Stamp(newest), Stamp(older) + 1);
    EXPECT_EQ(thread->GetSequence(0), 2);
    EXPECT_EQ(thread->GetSequence(1), 1);
}

TEST_F(Capture, FiveSlotsAfterSevenFrames) {
    CDcamCaptureThread* thread = Start(5);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(m_cam.StartTransmission(0, 7));
    ASSERT_TRUE(WaitForStored(*thread, 7));
    EXPECT_EQ(thread->GetWriteIndex(), 2);
    EXPECT_EQ(m_cam.WaitForFrame(0, 10000), 1);
    int copied = -1;
    const auto newest = Frame(-1, &copied);
    EXPECT_EQ(copied, 1);
    const auto oldest = Frame(7, &copied);
    EXPECT_EQ(copied, 2) << "slot 7 is slot 2, the oldest held";
    EXPECT_EQ(Stamp(newest), Stamp(oldest) + 4);
    ExpectConsecutive(StampsInOrder(*thread, 5));
    EXPECT_EQ(thread->GetStats().dropped, 0u);
    EXPECT_EQ(thread->GetStats().shortFrames, 0u);
}

// Shot registers are read back on a set-up the camera cannot send, so no frame clears them.
TEST_F(Capture, ShotAndTransmissionRegisters) {
    ASSERT_TRUE(m_cam.SetVideoMode(0, kYuv422Vga, 5, true));
    ASSERT_TRUE(m_cam.StartTransmission(0, 3));
    EXPECT_EQ(Read(kShot), 0x40000003u);
    ASSERT_TRUE(m_cam.StartTransmission(0, 1));
    EXPECT_EQ(Read(kShot), 0x80000000u);
    ASSERT_TRUE(m_cam.StartTransmission(0, 0));
    EXPECT_EQ(Read(kIsoEnable), 0x80000000u);
    ASSERT_TRUE(m_cam.StopTransmission(0));
    EXPECT_EQ(Read(kIsoEnable), 0u);
    ASSERT_TRUE(m_cam.StartTransmission(0, 65535));
    EXPECT_EQ(Read(kShot), 0x4000FFFFu);
    EXPECT_FALSE(m_cam.StartTransmission(0, 65536)) << "would become a count of 0";
    EXPECT_FALSE(m_cam.StartTransmission(0, -1));
    EXPECT_EQ(Read(kShot), 0x4000FFFFu);
}

TEST_F(Capture, StopWithoutACaptureStillStopsTransmission) {
    ASSERT_TRUE(m_cam.SetVideoMode(0, kYuv422Vga, kRate15, false));
    ASSERT_TRUE(m_cam.StartTransmission(0, 0));
    EXPECT_FALSE(m_cam.StopCapture(0));
    EXPECT_EQ(Read(kIsoEnable), 0u);
}

TEST_F(Capture, ACaptureBlocksSetUpUntilStopped) {
    CDcamCaptureThread* thread = Start(3);
    ASSERT_NE(thread, nullptr);
    EXPECT_FALSE(m_cam.SetVideoMode(0, 5, kRate15, false));
    C1394Dcam::Rect area{0, 0, 639, 479};
    EXPECT_FALSE(m_cam.SetFormat7Mode(0, 24, 0, &area));
    EXPECT_FALSE(m_cam.StartCapture(0, kSpeed400, kSyncSy, 3)) << "one capture per camera";
    EXPECT_EQ(m_cam.GetCaptureThread(0), thread) << "the running capture is untouched";
    ASSERT_TRUE(m_cam.StartTransmission(0, 2));
    ASSERT_TRUE(WaitForStored(*thread, 2));

    EXPECT_TRUE(m_cam.StopCapture(0));
    EXPECT_EQ(m_cam.GetCaptureThread(0), nullptr);
    EXPECT_EQ(m_cam.WaitForFrame(0, 0), 0);
    EXPECT_TRUE(m_cam.SetVideoMode(0, 5, kRate15, false));
    EXPECT_TRUE(m_cam.StartCapture(0, kSpeed400, kSyncSy, 3));
}

TEST_F(Capture, AFrameInOnePacketIsReceivedInPacketMode) {
    C1394Dcam::Rect area{0, 0, 15, 15};  // 256 bytes of mono 8
    ASSERT_TRUE(m_cam.SetFormat7Mode(0, 24, 0, &area));
    ASSERT_TRUE(m_cam.StartCapture(0, kSpeed400, kSyncSy, 4));
    CDcamCaptureThread* thread = m_cam.GetCaptureThread(0);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(thread->m_bPacketMode);
    EXPECT_EQ(thread->GetSlotSize(), 256u);
    ASSERT_TRUE(m_cam.StartTransmission(0, 1));
    ASSERT_TRUE(WaitForStored(*thread, 1));
    std::vector<std::uint8_t> frame(256);
    EXPECT_EQ(m_cam.GetFrame(0, frame.data(), -1), 0);
}

TEST_F(Capture, TheCallersPacketModeIsPassedOn) {
    CDcamCaptureThread* thread = Start(3, kSyncSy | 0x10);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(thread->m_bPacketMode);
    ASSERT_TRUE(m_cam.StartTransmission(0, 3));
    ASSERT_TRUE(WaitForStored(*thread, 3));
    ExpectConsecutive(StampsInOrder(*thread, 3));
}

TEST_F(Capture, AReadErrorWakesWaitersWithNoFrame) {
    CDcamCaptureThread* thread = Start(4);
    ASSERT_NE(thread, nullptr);
    // Frames wake nobody from here on, so the waiter below can only be woken by the error.
    thread->Ring()->SetSignalPerFrame(false);
    std::atomic<int> woken{-2};
    std::thread waiter([&] { woken = m_cam.WaitForFrame(0, FrameRing::kWaitForever); });
    ASSERT_TRUE(Busctl(m_bus, {"fault", "iso-fail"}));
    // Whether the read pending now fails or first delivers this frame, the one after it fails.
    // (StartTransmission would reset the frame event; the register write alone does not.)
    ASSERT_TRUE(m_cam.SetTransmission(0, false, 1, 1));
    waiter.join();
    EXPECT_EQ(woken, -1);
    EXPECT_EQ(thread->m_nState, CIsochTransferThread::kStateFailed);
    EXPECT_EQ(thread->GetStats().readErrors, 1u);
    EXPECT_LE(thread->GetStats().stored, 1u);
    EXPECT_EQ(CopiedSlot(-1), -1);
    EXPECT_EQ(m_cam.WaitForFrame(0, 0), -1);
    // The failed capture stops like any other.
    EXPECT_TRUE(m_cam.StopCapture(0));
    EXPECT_EQ(m_cam.GetCaptureThread(0), nullptr);
    EXPECT_TRUE(Start(2) != nullptr);
}

TEST_F(Capture, AReadThatDeliversNothingIsDropped) {
    CDcamCaptureThread* thread = Start(4);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(Busctl(m_bus, {"fault", "iso-negative"}));
    ASSERT_TRUE(m_cam.StartTransmission(0, 3));
    // One read of the three (the pending one or the next) takes its frame but delivers nothing.
    ASSERT_TRUE(WaitForStored(*thread, 2));
    ASSERT_TRUE(PumpUntil([&] { return thread->GetStats().dropped == 1; }));
    EXPECT_EQ(thread->GetStats().stored, 2u);
    EXPECT_EQ(thread->m_nState, CIsochTransferThread::kStateRunning);
}

// A thread that cannot attach its buffer.
class UnattachableThread : public CDcamCaptureThread {
protected:
    bool BuildDescriptors(std::span<std::uint8_t>, const void*) override { return false; }
};

class UnattachableCamera : public C1394Dcam {
public:
    std::unique_ptr<CIsochTransferThread> CreateIsochThread() override {
        return m_bBroken ? std::make_unique<UnattachableThread>() : C1394Dcam::CreateIsochThread();
    }
    bool m_bBroken = true;
};

TEST(CaptureStart, FailsWhenTheThreadCannotListen) {
    testsupport::SimulatedBus bus;
    ASSERT_TRUE(bus.IsRunning());
    UnattachableCamera cam;
    ASSERT_TRUE(cam.Open());
    ASSERT_TRUE(cam.SetVideoMode(0, kYuv422Vga, kRate15, false));
    EXPECT_FALSE(cam.StartCapture(0, kSpeed400, kSyncSy, 3));
    EXPECT_EQ(cam.GetCaptureThread(0), nullptr) << "nothing left behind";
    EXPECT_TRUE(cam.SetVideoMode(0, kYuv422Vga, kRate15, false));
    cam.m_bBroken = false;
    EXPECT_TRUE(cam.StartCapture(0, kSpeed400, kSyncSy, 3));
}

// At the camera's own pace, without the bus running faster than real time: 15 fps, or 3.75
// where sanitizers slow the receive thread down.
TEST(CaptureRealTime, EveryFrameOfASmallModeArrives) {
    testsupport::SimulatedBus bus;
    ASSERT_TRUE(bus.IsRunning());
    C1394Dcam cam;
    ASSERT_TRUE(cam.Open());
    ASSERT_TRUE(cam.SetVideoMode(0, kYuv422Vga, kSanitized ? 1 : kRate15, false));
    ASSERT_TRUE(cam.StartCapture(0, kSpeed400, kSyncSy, 12));
    CDcamCaptureThread* thread = cam.GetCaptureThread(0);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(cam.StartTransmission(0, 12));
    ASSERT_TRUE(WaitForStored(*thread, 12));
    ExpectConsecutive(StampsInOrder(*thread, 12));
    EXPECT_TRUE(cam.StopCapture(0));
}

}  // namespace
