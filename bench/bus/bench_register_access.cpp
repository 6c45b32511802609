// Latency of register access on an idle simulated bus, before and after in one run. A feature
// register access was three driver requests (the camera's node number, the host's node number,
// then the read or write), replayed here as the bus object sent them before the handle cache (an
// overlapped handle connected and closed per request) and on one kept plain handle; it is one
// request to the unit now, sent through the camera object with the cache off (a plain handle
// per request) and with it on. Beneath them: one
// driver round trip (a node-address request) on an open overlapped handle and on an open plain
// handle, and the floor: a 44-byte record (an asynchronous quadlet read's) bounced off an echoing
// child process over a SOCK_SEQPACKET socket pair. Last, the ratio of ReadRegister and
// WriteRegister through the kept connection to that floor, from rounds that take one access and
// one floor round trip in turn: as the scheduler places the processes, and pinned to two
// processors or to one.
//
// usage: bench_register_access [rounds (default 2000)]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench/bus/EchoPeer.h"
#include "bench/bus/FloorRatio.h"
#include "bus/DriverCodes.h"
#include "bus/DriverRecords.h"
#include "camera/C1394Dcam.h"
#include "platform/DeviceHandle.h"
#include "platform/PlainDeviceHandle.h"
#include "tests/support/SimulatedBus.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTimeout = platform::DeviceHandle::kRequestTimeout;
constexpr std::uint32_t kBrightness = 0x800;  // feature 0's control register
constexpr unsigned kLocalBus = 1023;
// The targets: register access through the kept connection at most this many floors.
constexpr double kTargetRatio = 1.5;

// The camera object with its handle cache switchable, to measure the path without it.
class CBenchDcam : public C1394Dcam {
public:
    void UseHandleCache(bool bUse) { m_handleCache.SetEnabled(bUse); }
};

// Times `step` rounds times after a short warm-up; the median, or 0 when a round failed.
double Measure(const char* what, int rounds, const std::function<bool()>& step) {
    for (int i = 0; i < std::min(rounds, 50); ++i) {
        if (!step()) return 0;
    }
    std::vector<double> times;
    times.reserve(std::size_t(rounds));
    for (int i = 0; i < rounds; ++i) {
        const auto t0 = Clock::now();
        if (!step()) {
            std::fprintf(stderr, "bench_register_access: %s failed in round %d\n", what, i);
            return 0;
        }
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    std::sort(times.begin(), times.end());
    const auto at = [&](double share) { return times[std::size_t(share * (times.size() - 1))]; };
    std::printf("%-44s %8.1f %8.1f %8.1f %8.1f\n", what, times.front(), at(0.5), at(0.9),
                times.back());
    return at(0.5);
}

// One request on a handle of its own, as the bus object sent every request before.
bool OldRequest(const std::string& path, std::uint32_t code, std::span<std::uint8_t> record) {
    platform::DeviceHandle device;
    const auto size = static_cast<std::uint32_t>(record.size());
    return device.Open(path) == 0 &&
           device.Request(code, record, size, size, nullptr, kTimeout) == 0;
}

// A quadlet read or write of the old bus object: both node numbers, then the request. The
// quadlet, in bus order, comes from and goes to data.
bool OldFeatureAccess(const std::string& path, bool write, std::uint32_t offsetLow,
                      std::uint8_t (&data)[4]) {
    bus::FixedRecord<8> device = bus::MakeNodeAddressRecord(false);
    bus::FixedRecord<8> host = bus::MakeNodeAddressRecord(true);
    if (!OldRequest(path, bus::kIoctlNodeAddress, device) ||
        !OldRequest(path, bus::kIoctlNodeAddress, host)) {
        return false;
    }
    const unsigned node = bus::Word(device, bus::kNodeAddressOffset) & 0x3F;
    bus::FixedRecord<44> record{};
    bus::FillAsyncRecord(record, bus::NodeAddress(kLocalBus, node), 0xFFFF, offsetLow, 4);
    if (write) std::memcpy(&record[bus::kAsyncHeaderBytes], data, 4);
    if (!OldRequest(path, write ? bus::kIoctlAsyncWrite : bus::kIoctlAsyncRead, record)) {
        return false;
    }
    if (!write) std::memcpy(data, &record[bus::kAsyncHeaderBytes], 4);
    return true;
}

// The three requests of a quadlet read before it was sent to the unit, on a kept handle.
bool ThreeTripRead(platform::PlainDeviceHandle& device, std::uint32_t offsetLow) {
    bus::FixedRecord<8> node = bus::MakeNodeAddressRecord(false);
    bus::FixedRecord<8> host = bus::MakeNodeAddressRecord(true);
    bus::FixedRecord<44> record{};
    if (device.Request(bus::kIoctlNodeAddress, node, 8, 8, nullptr, kTimeout) != 0 ||
        device.Request(bus::kIoctlNodeAddress, host, 8, 8, nullptr, kTimeout) != 0) {
        return false;
    }
    bus::FillAsyncRecord(record, bus::NodeAddress(kLocalBus, bus::Word(node, 4) & 0x3F), 0xFFFF,
                         offsetLow, 4);
    return device.Request(bus::kIoctlAsyncRead, record, 44, 44, nullptr, kTimeout) == 0;
}

template <typename Handle>
bool NodeAddress(Handle& device) {
    bus::FixedRecord<8> record = bus::MakeNodeAddressRecord(false);
    return device.Request(bus::kIoctlNodeAddress, record, 8, 8, nullptr, kTimeout) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (rounds < 1) {
        std::fprintf(stderr, "usage: bench_register_access [rounds]\n");
        return 2;
    }
    testsupport::SimulatedBus bus(testsupport::SimulatedBus::Options{});
    CBenchDcam cam;
    if (!bus.IsRunning() || !cam.Open() || cam.GetDeviceCount(C1394Dcam::kCameraDevices) < 1) {
        std::fprintf(stderr, "bench_register_access: no simulated camera\n");
        return 1;
    }
    const std::string path = cam.GetDevicePath(unsigned(cam.GetCameraDevice(0)));
    const std::uint32_t brightness = 0xF0000000 + cam.GetCommandBase(0) + kBrightness;
    C1394Dcam::DWORD value = 0;
    std::uint8_t quadlet[4] = {};
    const auto read = [&] { return cam.ReadFeature(0, 0, &value); };
    const auto write = [&] { return cam.WriteFeature(0, 0, &value); };
    platform::DeviceHandle overlapped;
    platform::PlainDeviceHandle plain;
    if (overlapped.Open(path) != 0 || plain.Open(path) != 0) return 1;

    std::printf("%d rounds, microseconds\n", rounds);
    std::printf("%-44s %8s %8s %8s %8s\n", "", "min", "median", "90%", "max");
    bool ok = Measure("read feature: before (handle per request)", rounds,
                      [&] { return OldFeatureAccess(path, false, brightness, quadlet); }) > 0 &&
              Measure("write feature: before (handle per request)", rounds,
                      [&] { return OldFeatureAccess(path, true, brightness, quadlet); }) > 0;
    cam.UseHandleCache(false);
    ok = ok && Measure("read feature: cache off (plain per request)", rounds, read) > 0 &&
         Measure("write feature: cache off (plain per request)", rounds, write) > 0;
    cam.UseHandleCache(true);
    ok = ok && Measure("read feature: cached plain handle", rounds, read) > 0 &&
         Measure("write feature: cached plain handle", rounds, write) > 0 &&
         Measure("round trip: open overlapped handle", rounds,
                 [&] { return NodeAddress(overlapped); }) > 0 &&
         Measure("round trip: open plain handle", rounds, [&] { return NodeAddress(plain); }) > 0;
    Measure("ReadRegister before: 3 requests, kept handle", rounds,
            [&] { return ThreeTripRead(plain, brightness); });
    const double readRegister = Measure("ReadRegister (kept connection)", rounds, [&] {
        return cam.ReadRegister(0, kBrightness, &value);
    });
    const double writeRegister = Measure("WriteRegister (kept connection)", rounds, [&] {
        return cam.WriteRegister(0, kBrightness, &value);
    });
    bench::EchoPeer peer;
    const double floor = Measure("round trip: 44 bytes, SOCK_SEQPACKET pair (floor)", rounds,
                                 [&] { return peer.RoundTrip(); });
    // The ratio from rounds that take an access and a floor round trip in turn.
    const auto readPaired = bench::MeasureEachPlacement(
        rounds, peer, bus.Pid(), [&] { return cam.ReadRegister(0, kBrightness, &value); });
    const auto writePaired = bench::MeasureEachPlacement(
        rounds, peer, bus.Pid(), [&] { return cam.WriteRegister(0, kBrightness, &value); });
    if (!ok || readRegister <= 0 || writeRegister <= 0 || floor <= 0 || readPaired.empty() ||
        writePaired.empty()) {
        return 1;
    }
    std::printf(
        "median / floor, each round an access and a floor round trip in turn "
        "(target at most %.1fx):\n",
        kTargetRatio);
    bench::PrintPlaced("ReadRegister", readPaired, "WriteRegister", writePaired);
    return 0;
}
