// The hidden bus windows and the shared block across processes on the simulated bus: joining
// and leaving, bus-reset and device-change notices, and processes that die.
#include <gtest/gtest.h>

#include "bus/CFirewireComm.h"
#include "bus/DriverCodes.h"
#include "bus/SharedBusBlock.h"
#include "platform/DeviceNotification.h"
#include "tests/bus/BusTestSupport.h"
#include "tests/bus/FakeDriver.h"
#include "tests/support/SimulatedBus.h"

using namespace bus;
using bustest::FakeDriver;
using bustest::MessageLog;
using bustest::PeerProcess;
using bustest::PumpUntil;
using platform::EndpointHandle;
using namespace std::chrono_literals;

namespace {

const std::string kClientDeviceList = "client " + std::to_string(kWmCameraDeviceList);
const std::string kClientBusReset = "client " + std::to_string(kWmCameraBusReset);

// The window handle in a peer's "open <handle> <devices>" line.
EndpointHandle OpenedWindow(PeerProcess& peer) {
    const std::string line = peer.WaitForLine("open ");
    return line.empty() ? 0 : EndpointHandle(std::stoul(line.substr(5)));
}

// The requests the simulated bus has taken so far (its status line says).
std::uint64_t RequestsTaken(const testsupport::SimulatedBus& bus) {
    const std::string status = bus.Busctl({"status"}).output;
    const std::size_t at = status.find("requests ");
    return at == std::string::npos ? 0 : std::stoull(status.substr(at + 9));
}

// A bus object that counts the notices its window handles.
class CountingComm : public CFirewireComm {
public:
    ~CountingComm() override { Close(); }
    int m_nDeviceListNotices = 0;
    int m_nBusResetNotices = 0;

protected:
    std::int64_t OnDeviceListChanged(std::uint64_t wParam, std::int64_t lParam) override {
        ++m_nDeviceListNotices;
        return CFirewireComm::OnDeviceListChanged(wParam, lParam);
    }
    std::int64_t OnBusReset(std::uint64_t wParam, std::int64_t lParam) override {
        ++m_nBusResetNotices;
        return CFirewireComm::OnBusReset(wParam, lParam);
    }
};

class BusWindows : public ::testing::Test {
protected:
    std::unique_ptr<SharedBusBlock> Block() { return SharedBusBlock::Open(); }

    // Opens m_comm with m_client registered for the notices.
    void OpenWithClient() {
        ASSERT_TRUE(m_comm.Open());
        m_comm.RegisterClient(m_client.Handle(), kWmCameraDeviceList);
    }

    // Nothing on it sends requests but the bus-reset watches, so its request count tells how
    // many waits it holds.
    bool WaitForWatches(std::uint64_t requests) {
        return PumpUntil([&] { return RequestsTaken(m_bus) == requests; });
    }

    testsupport::SimulatedBus m_bus;
    MessageLog m_client;
    CountingComm m_comm;
};

TEST_F(BusWindows, TheFirstOpenerIsMasterAndLaterOnesJoinInOrder) {
    PeerProcess a;
    const EndpointHandle hA = OpenedWindow(a);
    ASSERT_NE(hA, 0u);
    auto block = Block();
    ASSERT_NE(block, nullptr);
    EXPECT_FALSE(block->Created());
    EXPECT_EQ(block->Master(), hA);
    EXPECT_EQ(block->WordAt(SharedBusBlock::kOpenCountOffset), 1u);
    EXPECT_EQ(block->PlatformId(), 2u);
    EXPECT_EQ(block->FirstDevice(), m_bus.UnitPaths().at(0));

    PeerProcess b;
    const EndpointHandle hB = OpenedWindow(b);
    PeerProcess c;
    const EndpointHandle hC = OpenedWindow(c);
    EXPECT_EQ(block->Master(), hA);
    EXPECT_EQ(block->WordAt(SharedBusBlock::kOpenCountOffset), 3u);
    EXPECT_EQ(block->Windows(), (std::vector<EndpointHandle>{hA, hB, hC}));

    b.Command("close");
    ASSERT_FALSE(b.WaitForLine("closed").empty());
    EXPECT_EQ(block->Windows(), (std::vector<EndpointHandle>{hA, hC}));
    EXPECT_EQ(block->WordAt(SharedBusBlock::kOpenCountOffset), 2u);

    a.Command("close");
    ASSERT_FALSE(a.WaitForLine("closed").empty());
    EXPECT_EQ(block->Windows(), (std::vector<EndpointHandle>{hC}));
    EXPECT_EQ(block->Master(), 0u);  // the next device notice finds a new master
}

TEST_F(BusWindows, JoiningTellsTheNewWindowTheDeviceListAtOnce) {
    ASSERT_TRUE(m_comm.Open());
    EXPECT_EQ(m_comm.m_nDeviceListNotices, 1);
    EXPECT_EQ(m_comm.GetDevicePathCount(), 1u);
    EXPECT_EQ(m_comm.GetDevicePath(0), m_bus.UnitPaths().at(0));
    EXPECT_EQ(m_comm.GetCurrentDevice(), 0);
}

TEST_F(BusWindows, ASeventeenthOpenIsRefusedAndLeavesNoTrace) {
    std::vector<std::unique_ptr<CFirewireComm>> comms;
    for (int i = 0; i < 16; ++i) {
        comms.push_back(std::make_unique<CFirewireComm>());
        ASSERT_TRUE(comms.back()->Open()) << i;
    }
    CFirewireComm extra;
    EXPECT_FALSE(extra.Open());
    EXPECT_FALSE(extra.IsOpen());
    auto block = Block();
    EXPECT_EQ(block->Windows().size(), 16u);
    EXPECT_EQ(block->WordAt(SharedBusBlock::kOpenCountOffset), 16u);

    comms.pop_back();
    EXPECT_TRUE(extra.Open());
}

TEST_F(BusWindows, AProcessKilledAloneLeavesAFreshBlock) {
    PeerProcess a;
    ASSERT_NE(OpenedWindow(a), 0u);
    a.Kill();
    a.Wait();
    PeerProcess b;
    const EndpointHandle hB = OpenedWindow(b);
    auto block = Block();
    EXPECT_EQ(block->Master(), hB);
    EXPECT_EQ(block->WordAt(SharedBusBlock::kOpenCountOffset), 1u);
    EXPECT_EQ(block->Windows(), (std::vector<EndpointHandle>{hB}));
}

TEST_F(BusWindows, AKilledMasterIsReplacedAndDeviceChangesAreStillNoticed) {
    PeerProcess a;
    const EndpointHandle hA = OpenedWindow(a);
    OpenWithClient();
    auto block = Block();
    ASSERT_EQ(block->Master(), hA);
    a.Kill();
    a.Wait();

    ASSERT_TRUE(m_bus.Busctl({"add-camera"}).Ok());
    ASSERT_TRUE(PumpUntil([&] { return m_client.Count(kWmCameraDeviceList) == 1; }));
    EXPECT_EQ(m_comm.GetDevicePathCount(), 2u);
    EXPECT_EQ(block->Master(), m_comm.GetSafeHwnd());
    EXPECT_EQ(block->Windows(), (std::vector<EndpointHandle>{m_comm.GetSafeHwnd()}));
}

TEST_F(BusWindows, ABusResetReachesEveryWindowOncePerProcess) {
    PeerProcess peer;
    ASSERT_NE(OpenedWindow(peer), 0u);
    OpenWithClient();
    ASSERT_TRUE(WaitForWatches(2));

    ASSERT_TRUE(m_bus.Busctl({"bus-reset"}).Ok());
    // Each process's watch tells both windows, and each window tells its client.
    EXPECT_TRUE(PumpUntil([&] { return m_client.Count(kWmCameraBusReset) == 2; }));
    EXPECT_TRUE(peer.WaitForCount(kClientBusReset, 2));
    EXPECT_EQ(m_comm.m_nBusResetNotices, 2);

    // The watches wait again on fresh handles, so a second reset is seen as well.
    ASSERT_TRUE(WaitForWatches(4));
    ASSERT_TRUE(m_bus.Busctl({"bus-reset", "--renumber"}).Ok());
    EXPECT_TRUE(PumpUntil([&] { return m_client.Count(kWmCameraBusReset) == 4; }));
    EXPECT_TRUE(peer.WaitForCount(kClientBusReset, 4));
    EXPECT_EQ(m_client.Count(kWmCameraDeviceList), 0u);
}

TEST(BusResetWatch, ClosingCancelsThePendingWaitWithoutABroadcast) {
    bustest::PrivateBus bus("watch");
    FakeDriver driver(bus.Dir(), "unit00");
    CountingComm other;
    CountingComm comm;
    ASSERT_TRUE(other.Open());
    ASSERT_TRUE(comm.Open());
    ASSERT_TRUE(PumpUntil([&] { return driver.PendingCount(kIoctlBusResetWait) == 2; }));
    EXPECT_TRUE(other.Close());
    // The cancel reaches the driver on its own connection, a moment after Close returns.
    EXPECT_TRUE(PumpUntil([&] { return driver.Cancellations() == 1u; }));
    EXPECT_EQ(driver.PendingCount(kIoctlBusResetWait), 1u);
    bustest::PumpFor(100ms);
    EXPECT_EQ(comm.m_nBusResetNotices, 0);
}

TEST_F(BusWindows, PluggingAndRemovingADeviceReachesTheClientsAfterARescan) {
    OpenWithClient();
    ASSERT_TRUE(m_bus.Busctl({"add-camera"}).Ok());
    ASSERT_TRUE(PumpUntil([&] { return m_client.Count(kWmCameraDeviceList) == 1; }));
    EXPECT_EQ(m_comm.GetDevicePathCount(), 2u);
    EXPECT_EQ(m_comm.GetDevicePath(1), m_bus.UnitPaths().at(1));
    int version = 0;
    ASSERT_TRUE(m_comm.SelectDevice(1));
    EXPECT_TRUE(m_comm.GetUnitVersion(&version));
    EXPECT_EQ(version, 2);

    ASSERT_TRUE(m_bus.Busctl({"remove", "1"}).Ok());
    ASSERT_TRUE(PumpUntil([&] { return m_client.Count(kWmCameraDeviceList) == 2; }));
    EXPECT_EQ(m_comm.GetDevicePathCount(), 1u);
}

TEST_F(BusWindows, OnThe95FamilyARemovalWaitsForTheNodesChangedNotice) {
    ASSERT_TRUE(m_bus.Busctl({"add-camera"}).Ok());
    ASSERT_TRUE(m_bus.WaitForUnits(2));
    OpenWithClient();
    ASSERT_EQ(m_comm.GetDevicePathCount(), 2u);
    Block()->SetPlatformId(1);

    ASSERT_TRUE(m_bus.Busctl({"remove", "1"}).Ok());
    ASSERT_TRUE(m_bus.WaitForUnits(1));
    bustest::PumpFor(300ms);
    EXPECT_EQ(m_client.Count(kWmCameraDeviceList), 0u);
    EXPECT_EQ(m_comm.GetDevicePathCount(), 2u);

    platform::MessageEndpoint::Post(m_comm.GetSafeHwnd(),
                                    {platform::kWmDeviceChange, platform::kDeviceNodesChanged, 0});
    ASSERT_TRUE(PumpUntil([&] { return m_client.Count(kWmCameraDeviceList) == 1; }));
    EXPECT_EQ(m_comm.GetDevicePathCount(), 1u);
}

TEST_F(BusWindows, ClientsAreListedOnceAndCanLeave) {
    OpenWithClient();
    m_comm.RegisterClient(m_client.Handle(), 0x600);  // already listed: kept as it was
    MessageLog second;
    m_comm.RegisterClient(second.Handle(), 0x700);
    platform::MessageEndpoint::Post(m_comm.GetSafeHwnd(), {kWmCameraBusReset, 0, 0});
    ASSERT_TRUE(PumpUntil([&] { return second.Count(0x701) == 1; }));
    EXPECT_EQ(m_client.Count(kWmCameraBusReset), 1u);

    m_comm.UnregisterClient(m_client.Handle());
    platform::MessageEndpoint::Post(m_comm.GetSafeHwnd(), {kWmCameraDeviceList, 0, 0});
    ASSERT_TRUE(PumpUntil([&] { return second.Count(0x700) == 1; }));
    EXPECT_EQ(m_client.Count(kWmCameraDeviceList), 0u);
}

}  // namespace
