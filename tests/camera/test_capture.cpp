// Capture against kestrix-busd: starting and stopping, rings of 2 and 5 slots, one-shot and
// multi-shot transmission, packet mode, short frames, read errors, and a capture that cannot
// listen.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include "camera/C1394Dcam.h"
#include "tests/camera/CameraTestSupport.h"

namespace {

using namespace cameratest;
using namespace cameratest::reg;

constexpr int kVga422 = 3;
constexpr int kRate15 = 3;

class Capture : public CameraTest {
protected:
    // The slot GetFrame copied, or -1.
    int CopiedSlot(int slot, std::vector<std::uint8_t>* frame = nullptr) {
        std::vector<std::uint8_t> local(614400);
        return m_cam.GetFrame(0, (frame ? *frame : local).data(), slot);
    }
};

TEST_F(Capture, RefusesBadStartsAndHoldsNoFrameBeforeTheFirst) {
    EXPECT_FALSE(m_cam.StartCapture(0, kSpeed400, kSyncSy, 5)) << "no video mode set";
    EXPECT_EQ(m_cam.WaitForFrame(0, 10), 0) << "no capture: 0, so callers check GetFrame too";
    EXPECT_EQ(CopiedSlot(-1), -1);
    ASSERT_TRUE(m_cam.SetVideoMode(0, kVga422, kRate15, false));
    for (const int frames : {1, -5})
        EXPECT_FALSE(m_cam.StartCapture(0, kSpeed400, kSyncSy, frames));
    EXPECT_FALSE(m_cam.StartCapture(0, 3, kSyncSy, 5));
    EXPECT_FALSE(m_cam.StartCapture(1, kSpeed400, kSyncSy, 5));
    ASSERT_TRUE(m_cam.StartCapture(0, kSpeed400, kSyncSy, 5));
    EXPECT_EQ(m_cam.WaitForFrame(0, 0), -1);
    EXPECT_EQ(CopiedSlot(-1), -1);
}

TEST_F(Capture, TwoSlotsAlternate) {
    CDcamCaptureThread* thread = Start(kVga422, kRate15, 2);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(m_cam.StartTransmission(0, 3));
    ASSERT_TRUE(WaitForStored(*thread, 3));
    EXPECT_EQ(thread->GetWriteIndex(), 1);
    EXPECT_EQ(CopiedSlot(-1), 0);
    EXPECT_EQ(thread->GetSequence(0), 2);
    EXPECT_EQ(thread->GetSequence(1), 1);
    ExpectEveryFrameInOrder(*thread, 2);
}

TEST_F(Capture, FiveSlotsAfterSevenFrames) {
    CDcamCaptureThread* thread = Start(kVga422, kRate15, 5);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(m_cam.StartTransmission(0, 7));
    ASSERT_TRUE(WaitForStored(*thread, 7));
    EXPECT_EQ(thread->GetWriteIndex(), 2);
    EXPECT_EQ(m_cam.WaitForFrame(0, 10000), 1);
    std::vector<std::uint8_t> newest(614400), oldest(614400);
    EXPECT_EQ(CopiedSlot(-1, &newest), 1);
    EXPECT_EQ(CopiedSlot(7, &oldest), 2) << "slot 7 is slot 2, the oldest held";
    EXPECT_EQ(Stamp(newest), Stamp(oldest) + 4);
    ExpectEveryFrameInOrder(*thread, 5);
}

// Shared receive memory is the default; without it the frames come through the socket, and the
// ring holds every frame in order either way.
TEST_F(Capture, FramesArriveWithAndWithoutSharedMemory) {
    for (const bool shared : {true, false}) {
        if (!shared) ::setenv("KESTRIX_SHARED_BUFFERS", "0", 1);
        CDcamCaptureThread* thread = Start(kVga422, kRate15, 5);
        ::unsetenv("KESTRIX_SHARED_BUFFERS");
        ASSERT_NE(thread, nullptr);
        EXPECT_EQ(thread->HasSharedBuffers(), shared);
        ASSERT_TRUE(m_cam.StartTransmission(0, 5));
        ASSERT_TRUE(WaitForStored(*thread, 5));
        ExpectEveryFrameInOrder(*thread, 5);
        ASSERT_TRUE(m_cam.StopCapture(0));
    }
}

// The inodes of the receive memory this process maps.
std::set<std::string> ReceiveMemory() {
    std::ifstream maps("/proc/self/maps");
    std::set<std::string> inodes;
    for (std::string line; std::getline(maps, line);) {
        std::istringstream fields(line);
        std::string range, mode, offset, device, inode;
        fields >> range >> mode >> offset >> device >> inode;
        if (line.find("memfd:kestrix-isoch") != std::string::npos) inodes.insert(inode);
    }
    return inodes;
}

// A stop and start of the same mode receives into the memory the first capture made.
TEST_F(Capture, ARestartOfTheSameModeKeepsItsReceiveMemory) {
    std::set<std::string> first;
    for (int round = 0; round < 2; ++round) {
        CDcamCaptureThread* thread = Start(kVga422, kRate15, 3);
        ASSERT_NE(thread, nullptr);
        ASSERT_TRUE(thread->HasSharedBuffers());
        ASSERT_TRUE(m_cam.StartTransmission(0, 3));
        ASSERT_TRUE(WaitForStored(*thread, 3));
        ExpectEveryFrameInOrder(*thread, 3);
        if (round == 0) first = ReceiveMemory();
        EXPECT_EQ(ReceiveMemory(), first);
        ASSERT_TRUE(m_cam.StopCapture(0));
    }
    EXPECT_EQ(first.size(), 1u);
}

// The receive memory mapped here, summed: its size and how much of it is in memory, in KiB.
std::pair<long, long> ReceiveMemoryKib() {
    std::ifstream smaps("/proc/self/smaps");
    long size = 0, resident = 0;
    bool ours = false;
    for (std::string line; std::getline(smaps, line);) {
        std::istringstream fields(line);
        std::string first;
        long kib = 0;
        fields >> first >> kib;
        // A mapping's first line starts with its address range, its figures with a name.
        if (first.find('-') != std::string::npos && first.find(':') == std::string::npos) {
            ours = line.find("memfd:kestrix-isoch") != std::string::npos;
        } else if (ours && first == "Size:") {
            size += kib;
        } else if (ours && first == "Rss:") {
            resident += kib;
        }
    }
    return {size, resident};
}

// Setting a mode makes its receive memory, pages in, and the first capture receives into it; a
// mode of another size replaces it, and closing lets it go.
TEST_F(Capture, AModeSetMakesTheReceiveMemoryTheFirstCaptureUses) {
    ASSERT_TRUE(m_cam.SetVideoMode(0, kVga422, kRate15, false));
    const std::set<std::string> ready = ReceiveMemory();
    ASSERT_EQ(ready.size(), 1u);
    // Nineteen frames: one buffer, two spare, sixteen the driver may hold.
    EXPECT_EQ(ReceiveMemoryKib(), std::make_pair(19 * 600L, 19 * 600L));
    CDcamCaptureThread* thread = Start(kVga422, kRate15, 3);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(thread->HasSharedBuffers());
    EXPECT_EQ(ReceiveMemory(), ready);
    ASSERT_TRUE(m_cam.StopCapture(0));

    ASSERT_TRUE(m_cam.SetVideoMode(0, 4, kRate15, false));  // 640 x 480 RGB: 900 KiB a frame
    EXPECT_EQ(ReceiveMemory().size(), 1u);
    EXPECT_NE(ReceiveMemory(), ready);
    EXPECT_EQ(ReceiveMemoryKib().first, 19 * 900L);
    m_cam.Close();
    EXPECT_TRUE(ReceiveMemory().empty());
}

// Read back on a set-up the camera cannot send, so that no frame clears the shot register.
TEST_F(Capture, ShotAndTransmissionRegisters) {
    ASSERT_TRUE(m_cam.SetVideoMode(0, kVga422, 5, true));
    ASSERT_TRUE(m_cam.StartTransmission(0, 3));
    EXPECT_EQ(Read(kShot), 0x40000003u);
    ASSERT_TRUE(m_cam.StartTransmission(0, 1));
    EXPECT_EQ(Read(kShot), 0x80000000u);
    EXPECT_FALSE(m_cam.StartTransmission(0, 65536)) << "would become a count of 0";
    EXPECT_FALSE(m_cam.StartTransmission(0, -1));
    ASSERT_TRUE(m_cam.StartTransmission(0, 0));
    EXPECT_EQ(Read(kIsoEnable), 0x80000000u);
    EXPECT_FALSE(m_cam.StopCapture(0)) << "no capture to stop";
    EXPECT_EQ(Read(kIsoEnable), 0u) << "but transmission stopped";
}

TEST_F(Capture, ACaptureBlocksSetUpUntilStopped) {
    CDcamCaptureThread* thread = Start(kVga422, kRate15, 3);
    ASSERT_NE(thread, nullptr);
    EXPECT_FALSE(m_cam.SetVideoMode(0, 5, kRate15, false));
    EXPECT_FALSE(SetFullSensor(kMono8));
    EXPECT_FALSE(m_cam.StartCapture(0, kSpeed400, kSyncSy, 3)) << "one capture per camera";
    EXPECT_EQ(m_cam.GetCaptureThread(0), thread) << "the running one is untouched";
    EXPECT_TRUE(m_cam.StopCapture(0));
    EXPECT_EQ(m_cam.GetCaptureThread(0), nullptr);
    EXPECT_EQ(m_cam.WaitForFrame(0, 0), 0);
    EXPECT_NE(Start(5, kRate15, 3), nullptr);
}

TEST_F(Capture, AFrameInOnePacketIsReceivedInPacketMode) {
    const C1394Dcam::Rect area{0, 0, 15, 15};  // 256 bytes of mono 8
    ASSERT_TRUE(m_cam.SetFormat7Mode(0, 24, kMono8, &area));
    ASSERT_TRUE(m_cam.StartCapture(0, kSpeed400, kSyncSy, 4));
    CDcamCaptureThread* thread = m_cam.GetCaptureThread(0);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(thread->m_bPacketMode);
    ASSERT_TRUE(m_cam.StartTransmission(0, 1));
    ASSERT_TRUE(WaitForStored(*thread, 1));
    EXPECT_EQ(CopiedSlot(-1), 0);
}

// A frame whose last packets never came is delivered, zero-padded and counted short, not lost.
TEST_F(Capture, AFrameWithoutItsLastPacketsArrivesShort) {
    CDcamCaptureThread* thread = Start(kVga422, kRate15, 4);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(Busctl(m_bus, {"fault", "short-frame", "2"}));
    ASSERT_TRUE(m_cam.StartTransmission(0, 4));
    ASSERT_TRUE(WaitForStored(*thread, 4));
    const FrameRing::Stats stats = thread->GetStats();
    EXPECT_EQ(stats.shortFrames, 2u);
    EXPECT_EQ(stats.lost, 0u);
    ExpectEveryFrameInOrder(*thread, 4);
    const auto tailIsZero = [&](int slot) {
        std::vector<std::uint8_t> frame(thread->GetSlotSize());
        EXPECT_TRUE(thread->CopyFrame(frame, slot, nullptr, nullptr));
        return std::all_of(frame.end() - std::ptrdiff_t(frame.size() / 4), frame.end(),
                           [](std::uint8_t b) { return b == 0; });
    };
    EXPECT_TRUE(tailIsZero(0));
    EXPECT_FALSE(tailIsZero(3));
}

TEST_F(Capture, AReadErrorWakesWaitersWithNoFrame) {
    CDcamCaptureThread* thread = Start(kVga422, kRate15, 4);
    ASSERT_NE(thread, nullptr);
    // Frames wake nobody from here on: only the error can wake the waiter.
    thread->Ring()->SetSignalPerFrame(false);
    std::atomic<int> woken{-2};
    std::thread waiter([&] { woken = m_cam.WaitForFrame(0, FrameRing::kWaitForever); });
    ASSERT_TRUE(Busctl(m_bus, {"fault", "iso-fail"}));
    // Whether the pending read fails or first takes this frame, the read after it fails. The
    // register write alone does not reset the frame event, as StartTransmission would.
    ASSERT_TRUE(m_cam.SetTransmission(0, false, 1, 1));
    waiter.join();
    EXPECT_EQ(woken, -1);
    EXPECT_EQ(thread->m_nState, CIsochTransferThread::kStateFailed);
    EXPECT_EQ(thread->GetStats().readErrors, 1u);
    EXPECT_EQ(CopiedSlot(-1), -1);
    EXPECT_TRUE(m_cam.StopCapture(0)) << "a failed capture stops like any other";
    EXPECT_NE(Start(kVga422, kRate15, 2), nullptr);
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
    UnattachableCamera cam;
    ASSERT_TRUE(bus.IsRunning() && cam.Open());
    ASSERT_TRUE(cam.SetVideoMode(0, kVga422, kRate15, false));
    EXPECT_FALSE(cam.StartCapture(0, kSpeed400, kSyncSy, 3));
    EXPECT_EQ(cam.GetCaptureThread(0), nullptr) << "nothing left behind";
    cam.m_bBroken = false;
    EXPECT_TRUE(cam.SetVideoMode(0, kVga422, kRate15, false));
    EXPECT_TRUE(cam.StartCapture(0, kSpeed400, kSyncSy, 3));
}

// At the camera's own pace: 15 fps, or 3.75 where sanitizers slow the receive thread down.
TEST(CaptureRealTime, EveryFrameOfASmallModeArrives) {
    testsupport::SimulatedBus bus;
    C1394Dcam cam;
    ASSERT_TRUE(bus.IsRunning() && cam.Open());
    ASSERT_TRUE(cam.SetVideoMode(0, kVga422, kSanitized ? 1 : kRate15, false));
    ASSERT_TRUE(cam.StartCapture(0, kSpeed400, kSyncSy, 12));
    CDcamCaptureThread* thread = cam.GetCaptureThread(0);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(cam.StartTransmission(0, 12));
    ASSERT_TRUE(WaitForStored(*thread, 12));
    ExpectEveryFrameInOrder(*thread, 12);
}

}  // namespace
