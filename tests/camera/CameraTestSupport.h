// Shared pieces of the camera suites: a camera object opened on a private kestrix-busd,
// pumping the test thread's message queue, a client window that logs the bus notices, and
// reading the frame counter the simulated camera stamps into every frame.
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

using namespace std::chrono_literals;
using DWORD = C1394Dcam::DWORD;

inline constexpr int kCameras = C1394Dcam::kCameraDevices;
inline constexpr int kSpeed400 = 2;
inline constexpr int kSyncSy = 0x02;
inline constexpr int kMono8 = 0;
inline constexpr int kYuv422 = 2;
inline constexpr int kRgb8 = 4;

// The register addresses the suites use, written out here rather than taken from the library,
// so that a wrong constant on either side shows: command registers from the command base,
// Format 7 ones from the mode's block, the colour-bar switch from the vendor block.
namespace reg {
inline constexpr DWORD kVModeInqFormat0 = 0x180;
inline constexpr DWORD kVRateInqFormat0 = 0x200;
inline constexpr DWORD kBasicFuncInq = 0x400;
inline constexpr DWORD kCurVFrmRate = 0x600;
inline constexpr DWORD kCurVMode = 0x604;
inline constexpr DWORD kCurVFormat = 0x608;
inline constexpr DWORD kIsoChannel = 0x60C;
inline constexpr DWORD kIsoEnable = 0x614;
inline constexpr DWORD kShot = 0x61C;
inline constexpr DWORD kMemSaveChannel = 0x620;
inline constexpr DWORD kBrightness = 0x800;
inline constexpr DWORD kZoom = 0x880;
inline constexpr DWORD kImagePosition = 0x08;
inline constexpr DWORD kImageSize = 0x0C;
inline constexpr DWORD kColorCodingId = 0x10;
inline constexpr DWORD kBytePerPacket = 0x44;
inline constexpr DWORD kColourBars = 0xDC;
}  // namespace reg

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// The bus keeps one finished frame for a reader that is late, so a frame is lost when the
// receive thread falls more than a frame period behind. Sanitizer builds run everything (the
// daemon included) several times slower: their streams run slower to match.
inline double RateScale(double wanted) { return kSanitized ? wanted / 4 : wanted; }

inline testsupport::SimulatedBus::Options BusOptions(unsigned cameras = 1, double rateScale = 1) {
    testsupport::SimulatedBus::Options options;
    options.cameras = cameras;
    options.rateScale = rateScale;
    return options;
}

// Dispatches the calling thread's queue until done() holds; false when time ran out.
inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    auto& queue = platform::MessageQueue::ForCurrentThread();
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        queue.Pump(std::chrono::milliseconds(10));
    }
    return true;
}

// A client window on the calling thread that counts what it hears.
class NoticeLog {
public:
    NoticeLog()
        : m_endpoint(platform::MessageEndpoint::Create([this](const platform::Message& message) {
              std::scoped_lock lock(m_mutex);
              m_messages.push_back(message.msg);
              return std::int64_t{0};
          })) {}
    platform::EndpointHandle Handle() const { return m_endpoint->Handle(); }
    std::size_t Count(std::uint32_t msg) const {
        std::scoped_lock lock(m_mutex);
        return std::size_t(std::count(m_messages.begin(), m_messages.end(), msg));
    }

private:
    mutable std::mutex m_mutex;  // guards m_messages
    std::vector<std::uint32_t> m_messages;
    std::unique_ptr<platform::MessageEndpoint> m_endpoint;
};

// The counter the simulated camera stamps big-endian into a frame's first 4 bytes.
inline std::uint32_t Stamp(const std::vector<std::uint8_t>& frame) {
    return frame.size() < 4 ? 0 : platform::LoadBE32(frame.data());
}

// The "requests N" figure of kestrix-busctl status: driver requests the bus has served.
inline std::optional<std::uint64_t> RequestCount(const testsupport::SimulatedBus& bus) {
    const auto status = bus.Busctl({"status"});
    const std::size_t at = status.output.find("requests ");
    if (!status.Ok() || at == std::string::npos) return std::nullopt;
    return std::stoull(status.output.substr(at + 9));
}

inline bool Busctl(const testsupport::SimulatedBus& bus, const std::vector<std::string>& args) {
    const auto result = bus.Busctl(args);
    EXPECT_TRUE(result.Ok()) << result.errors;
    return result.Ok();
}

// Waits until the capture has stored at least count frames in all.
inline bool WaitForStored(const CDcamCaptureThread& thread, std::uint64_t count,
                          std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (thread.GetStats().stored < count) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Copies every slot and lists the frame stamps in the order of their sequence numbers, which
// must follow each other; a capture of at most slot-count frames.
inline std::vector<std::uint32_t> StampsInOrder(const CDcamCaptureThread& thread, int frames) {
    std::vector<std::pair<std::uint16_t, std::uint32_t>> held;
    std::vector<std::uint8_t> frame(thread.GetSlotSize());
    for (int slot = 0; slot < frames; ++slot) {
        std::uint16_t sequence = 0;
        int copied = -1;
        EXPECT_TRUE(thread.CopyFrame(frame, slot, &copied, &sequence));
        held.emplace_back(sequence, Stamp(frame));
    }
    std::sort(held.begin(), held.end());
    std::vector<std::uint32_t> stamps;
    for (std::size_t i = 0; i < held.size(); ++i) {
        EXPECT_EQ(held[i].first, held[0].first + i) << "sequence gap at " << i;
        stamps.push_back(held[i].second);
    }
    return stamps;
}

inline void ExpectConsecutive(const std::vector<std::uint32_t>& stamps) {
    for (std::size_t i = 1; i < stamps.size(); ++i) {
        EXPECT_EQ(stamps[i], stamps[i - 1] + 1) << "frame lost before position " << i;
    }
}

// A camera object opened on a private bus with its first camera found.
class CameraTest : public ::testing::Test {
protected:
    explicit CameraTest(const testsupport::SimulatedBus::Options& options = BusOptions())
        : m_bus(options) {}

    void SetUp() override {
        ASSERT_TRUE(m_bus.IsRunning());
        ASSERT_TRUE(m_cam.Open());
    }

    DWORD Read(DWORD offset, int camera = 0) {
        DWORD value = 0xDEADBEEF;
        EXPECT_TRUE(m_cam.ReadRegister(camera, offset, &value)) << std::hex << offset;
        return value;
    }

    testsupport::SimulatedBus m_bus;
    C1394Dcam m_cam;
};

}  // namespace cameratest
