// Shared pieces of the camera suites: a camera object opened on a private kestrix-busd, the
// register addresses the suites use, pumping the test thread's queue, a client window that
// counts the bus notices, and the frame counter the simulated camera stamps into every frame.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "camera/C1394Dcam.h"
#include "platform/ByteOrder.h"
#include "platform/MessageEndpoint.h"
#include "platform/MessageQueue.h"
#include "tests/support/SimulatedBus.h"

namespace cameratest {

using DWORD = C1394Dcam::DWORD;
inline constexpr int kCameras = C1394Dcam::kCameraDevices;
inline constexpr int kSpeed400 = 2;
inline constexpr int kSyncSy = 0x02;
inline constexpr int kMono8 = 0, kYuv422 = 2, kRgb8 = 4;

// Written out here rather than taken from the library, so that a wrong constant on either side
// shows: command registers from the command base, Format 7 ones from the mode's block.
namespace reg {
inline constexpr DWORD kVRateInqFormat0 = 0x200, kBasicFuncInq = 0x400;
inline constexpr DWORD kCurVFrmRate = 0x600, kCurVMode = 0x604, kCurVFormat = 0x608;
inline constexpr DWORD kIsoChannel = 0x60C, kIsoEnable = 0x614, kShot = 0x61C;
inline constexpr DWORD kMemSaveChannel = 0x620, kBrightness = 0x800, kZoom = 0x880;
inline constexpr DWORD kImagePosition = 0x08, kImageSize = 0x0C, kColorCodingId = 0x10;
}  // namespace reg

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// The bus keeps one finished frame for a late reader, so a frame is lost when the receive
// thread falls more than a frame period behind. Sanitizer builds (the daemon included) run
// several times slower: their streams run slower to match.
inline double RateScale(double wanted) { return kSanitized ? wanted / 4 : wanted; }

inline testsupport::SimulatedBus::Options BusOptions(unsigned cameras, double rateScale) {
    testsupport::SimulatedBus::Options options;
    options.cameras = cameras;
    options.rateScale = rateScale;
    return options;
}

// Dispatches the calling thread's queue until done() holds; false when time ran out.
inline bool PumpUntil(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        platform::MessageQueue::ForCurrentThread().Pump(std::chrono::milliseconds(10));
    }
    return true;
}

// Waits (without pumping) until the capture has stored at least count frames in all.
inline bool WaitForStored(const CDcamCaptureThread& thread, std::uint64_t count) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (thread.GetStats().stored < count) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A client window on the calling thread that counts what it hears.
class NoticeLog {
public:
    platform::EndpointHandle Handle() const { return m_endpoint->Handle(); }
    std::size_t Count(std::uint32_t msg) const {
        std::scoped_lock lock(m_mutex);
        return std::size_t(std::count(m_messages.begin(), m_messages.end(), msg));
    }

private:
    mutable std::mutex m_mutex;  // guards m_messages
    std::vector<std::uint32_t> m_messages;
    std::unique_ptr<platform::MessageEndpoint> m_endpoint =
        platform::MessageEndpoint::Create([this](const platform::Message& message) {
            std::scoped_lock lock(m_mutex);
            m_messages.push_back(message.msg);
            return std::int64_t{0};
        });
};

// The counter the simulated camera stamps big-endian into a frame's first 4 bytes.
inline std::uint32_t Stamp(const std::vector<std::uint8_t>& frame) {
    return frame.size() < 4 ? 0 : platform::LoadBE32(frame.data());
}

// Copies the first frames slots: their sequence numbers and the camera's stamps must both
// follow each other, so no frame was lost on the bus or in the ring.
inline void ExpectEveryFrameInOrder(const CDcamCaptureThread& thread, int frames) {
    std::vector<std::pair<std::uint16_t, std::uint32_t>> held;
    std::vector<std::uint8_t> frame(thread.GetSlotSize());
    for (int slot = 0; slot < frames; ++slot) {
        std::uint16_t sequence = 0;
        EXPECT_TRUE(thread.CopyFrame(frame, slot, nullptr, &sequence));
        held.emplace_back(sequence, Stamp(frame));
    }
    std::sort(held.begin(), held.end());
    for (std::size_t i = 1; i < held.size(); ++i) {
        EXPECT_EQ(held[i].first, held[i - 1].first + 1) << "sequence gap at " << i;
        EXPECT_EQ(held[i].second, held[i - 1].second + 1) << "frame lost before " << i;
    }
}

// The "requests N" figure of kestrix-busctl status: driver requests the bus has served.
inline std::uint64_t RequestCount(const testsupport::SimulatedBus& bus) {
    const std::string status = bus.Busctl({"status"}).output;
    const std::size_t at = status.find("requests ");
    return at == std::string::npos ? 0 : std::stoull(status.substr(at + 9));
}

inline bool Busctl(const testsupport::SimulatedBus& bus, const std::vector<std::string>& args) {
    const auto result = bus.Busctl(args);
    EXPECT_TRUE(result.Ok()) << result.errors;
    return result.Ok();
}

// A camera object opened on a private bus.
class CameraTest : public ::testing::Test {
protected:
    explicit CameraTest(unsigned cameras = 1, double rateScale = RateScale(1))
        : m_bus(BusOptions(cameras, rateScale)) {}
    explicit CameraTest(const testsupport::SimulatedBus::Options& options) : m_bus(options) {}

    void SetUp() override {
        ASSERT_TRUE(m_bus.IsRunning());
        ASSERT_TRUE(m_cam.Open());
    }
    DWORD Read(DWORD offset, int camera = 0) {
        DWORD value = 0xDEADBEEF;
        EXPECT_TRUE(m_cam.ReadRegister(camera, offset, &value)) << std::hex << offset;
        return value;
    }
    DWORD ReadFormat7(DWORD offset) {
        DWORD value = 0xDEADBEEF;
        EXPECT_TRUE(m_cam.ReadFormat7Register(0, 0, offset, &value, false)) << std::hex << offset;
        return value;
    }
    // Sets the mode up and starts a capture into a ring of frames slots.
    CDcamCaptureThread* Start(int modeIndex, int rateOrCoding, int frames, int flags = kSyncSy) {
        const bool set = modeIndex < 24 ? m_cam.SetVideoMode(0, modeIndex, rateOrCoding, false)
                                        : SetFullSensor(rateOrCoding);
        if (!set || !m_cam.StartCapture(0, kSpeed400, flags, frames)) return nullptr;
        return m_cam.GetCaptureThread(0);
    }
    // Format 7 as the viewer sets it up: the whole sensor in a coding.
    bool SetFullSensor(int coding) {
        const C1394Dcam::Rect area{0, 0, 1359, 1023};
        return m_cam.SetFormat7Mode(0, 24, coding, &area);
    }

    testsupport::SimulatedBus m_bus;
    C1394Dcam m_cam;
};

}  // namespace cameratest
