// CameraOwnerThread: every job on the one thread that opened the library, results and failures
// back to the caller, and bus notices heard while no caller asks for anything.
#include "session/CameraOwnerThread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "tests/camera/CameraTestSupport.h"

namespace {

using kestrix::session::CameraOwnerThread;

TEST(CameraOwnerThread, RunsJobsOnItsThreadAndHearsNoticesBetweenThem) {
    testsupport::SimulatedBus bus(1);
    ASSERT_TRUE(bus.IsRunning());
    CameraOwnerThread owner;
    ASSERT_TRUE(owner.IsOpen());

    const auto ownerId = owner.Call([](C1394Dcam&) { return std::this_thread::get_id(); });
    EXPECT_NE(ownerId, std::this_thread::get_id());
    // A job may hand work to its own thread: it runs at once instead of waiting for itself.
    const int cameras = owner.Call([&](C1394Dcam&) {
        return owner.Call(
            [](C1394Dcam& cam) { return cam.GetDeviceCount(C1394Dcam::kCameraDevices); });
    });
    EXPECT_EQ(cameras, 1);
    EXPECT_THROW(owner.Call([](C1394Dcam&) -> int { throw std::runtime_error("refused"); }),
                 std::runtime_error);

    // The watcher arms its wait on a thread of its own: a reset before that goes unheard.
    ASSERT_TRUE(bus.WaitForResetWaits(1));
    ASSERT_TRUE(cameratest::Busctl(bus, {"bus-reset"}));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (owner.BusResets() == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(owner.BusResets(), 1u);
}

}  // namespace
