// The bandwidth check: with the bus's bandwidth held by another connection, a stream is refused
// with the sentence that says by how much, and starts once the bandwidth is given back.
#include <string>
#include <vector>

#include "bus/DriverRecords.h"
#include "platform/DeviceHandle.h"
#include "platform/PlainDeviceHandle.h"
#include "tools/kestrix-check/StreamChecks.h"

using namespace kestrix::session;

namespace {

// Bandwidth taken on a connection of its own to the camera's unit, given back when it goes.
class BandwidthHold {
public:
    explicit BandwidthHold(const std::string& path) { m_device.Open(path); }
    ~BandwidthHold() {
        for (const std::uint32_t handle : m_handles) {
            auto record = bus::MakeFreeRecord(handle);
            Request(bus::kIoctlFreeBandwidth, record);
        }
    }
    BandwidthHold(const BandwidthHold&) = delete;
    BandwidthHold& operator=(const BandwidthHold&) = delete;

    // Takes what the bus has left, in ever smaller pieces; false when the driver gave none.
    bool TakeAll() {
        // Bounded, should a driver never refuse.
        constexpr std::size_t kMaxPieces = 512;
        for (std::uint32_t bytes = 2048; bytes >= 4; bytes /= 4) {
            while (m_handles.size() < kMaxPieces) {
                auto record = bus::MakeAllocateBandwidthRecord(bytes, bus::kSpeed400);
                if (Request(bus::kIoctlAllocateBandwidth, record) != 0) break;
                m_handles.push_back(bus::Word(record, bus::kBandwidthHandleOffset));
            }
        }
        return !m_handles.empty();
    }

private:
    std::uint32_t Request(std::uint32_t code, std::span<std::uint8_t> record) {
        const auto size = static_cast<std::uint32_t>(record.size());
        return m_device.Request(code, record, size, size, nullptr,
                                platform::DeviceHandle::kRequestTimeout);
    }

    platform::PlainDeviceHandle m_device;
    std::vector<std::uint32_t> m_handles;
};

}  // namespace

namespace checks {

void Bandwidth(StreamContext& c) {
    constexpr const char* kName = "bandwidth";
    StreamConfig config;
    if (Error e = FirstMode(c, config)) return c.report.Fail(kName, e.Message());
    if (Error e = c.camera.Configure(config)) return c.report.Fail(kName, "set-up: " + e.Message());
    std::string path;
    c.camera.Call([&](C1394Dcam& cam, int index) {
        path = cam.GetDevicePath(unsigned(cam.GetCameraDevice(index)));
    });
    std::shared_ptr<FrameStream> stream;
    Error refused;
    {
        BandwidthHold hold(path);
        if (!hold.TakeAll())
            return c.report.Skip(kName, "the driver lends no bandwidth to a second connection");
        refused = c.camera.Start(stream);
        if (!refused) c.camera.Stop();
    }
    if (c.Stopped()) return;
    if (refused.GetKind() != Error::Kind::NoBandwidth) {
        return c.report.Fail(kName, "with the bus's bandwidth taken, the stream " +
                                        (refused ? "failed otherwise: " + refused.Message()
                                                 : std::string("started")));
    }
    const Error after = c.camera.Start(stream);
    c.camera.Stop();
    if (after) return c.report.Fail(kName, "refused, but no start once the bandwidth was back: " +
                                               after.Message());
    c.report.Pass(kName, "refused: " + refused.Message() + "; started once it was back");
}

}  // namespace checks
