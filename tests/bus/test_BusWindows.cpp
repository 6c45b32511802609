// The hidden bus windows and the shared block across processes: joining and leaving, bus-reset
// and device-change notices, and processes that die.
#include "bus/CFirewireComm.h"

#include <gtest/gtest.h>

#include <optional>

#include "bus/DriverCodes.h"
#include "bus/SharedBusBlock.h"
#include "platform/DeviceNotification.h"
#include "tests/bus/BusTestSupport.h"
#include "tests/bus/FakeDriver.h"

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

    bustest::PrivateBus m_bus{"windows"};
    FakeDriver m_driver{m_bus.Dir(), "unit00"};
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
    EXPECT_EQ(block->FirstDevice(), m_driver.Path());

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

TEST_F(BusWindows, TheFirstOpenerFindsTheBlockZeroed) {
    {
        auto block = Block();
        ASSERT_TRUE(block->Created());
        block->AddOpenCount(5);
        block->SetPlatformId(7);
        ASSERT_TRUE(block->AddWindow(m_client.Handle()));
    }  // the last holder leaves: the block goes with it
    PeerProcess a;
    const EndpointHandle hA = OpenedWindow(a);
    auto block = Block();
    EXPECT_EQ(block->WordAt(SharedBusBlock::kOpenCountOffset), 1u);
    EXPECT_EQ(block->PlatformId(), 2u);
    EXPECT_EQ(block->Windows(), (std::vector<EndpointHandle>{hA}));
}

TEST_F(BusWindows, JoiningTellsTheNewWindowTheDeviceListAtOnce) {
    ASSERT_TRUE(m_comm.Open());
    EXPECT_EQ(m_comm.m_nDeviceListNotices, 1);
    EXPECT_EQ(m_comm.GetDeviceCount(), 1u);
    EXPECT_EQ(m_comm.GetDevicePath(0), m_driver.Path());
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

    FakeDriver plugged(m_bus.Dir(), "unit01");
    ASSERT_TRUE(PumpUntil([&] { return m_client.Count(kWmCameraDeviceList) == 1; }));
    EXPECT_EQ(m_comm.GetDeviceCount(), 2u);
    EXPECT_EQ(block->Master(), m_comm.GetSafeHwnd());
    EXPECT_EQ(block->Windows(), (std::vector<EndpointHandle>{m_comm.GetSafeHwnd()}));
}

TEST_F(BusWindows, ABusResetReachesEveryWindowOncePerProcess) {
    PeerProcess peer;
    ASSERT_NE(OpenedWindow(peer), 0u);
    OpenWithClient();
    ASSERT_TRUE(m_driver.WaitForRequests(kIoctlBusResetWait, 2));
    ASSERT_TRUE(PumpUntil([&] { return m_driver.PendingCount(kIoctlBusResetWait) == 2; }));

    m_driver.ResetBus();
    // Each process's watch tells both windows, and each window tells its client.
    EXPECT_TRUE(PumpUntil([&] { return m_client.Count(kWmCameraBusReset) == 2; }));
    EXPECT_TRUE(peer.WaitForCount(kClientBusReset, 2));
    EXPECT_EQ(m_comm.m_nBusResetNotices, 2);

    // The watches wait again on fresh handles, so a second reset is seen as well.
    ASSERT_TRUE(m_driver.WaitForRequests(kIoctlBusResetWait, 4));
    ASSERT_TRUE(PumpUntil([&] { return m_driver.PendingCount(kIoctlBusResetWait) == 2; }));
    m_driver.ResetBus();
    EXPECT_TRUE(PumpUntil([&] { return m_client.Count(kWmCameraBusReset) == 4; }));
    EXPECT_TRUE(peer.WaitForCount(kClientBusReset, 4));
    EXPECT_EQ(m_client.Count(kWmCameraDeviceList), 0u);
}

TEST_F(BusWindows, ClosingCancelsThePendingWatchWithoutABroadcast) {
    CountingComm other;
    ASSERT_TRUE(other.Open());
    ASSERT_TRUE(m_comm.Open());
    ASSERT_TRUE(PumpUntil([&] { return m_driver.PendingCount(kIoctlBusResetWait) == 2; }));
    EXPECT_TRUE(other.Close());
    EXPECT_TRUE(PumpUntil([&] { return m_driver.PendingCount(kIoctlBusResetWait) == 1; }));
    EXPECT_EQ(m_driver.Cancellations(), 1u);
    bustest::PumpFor(100ms);
    EXPECT_EQ(m_comm.m_nBusResetNotices, 0);
}

TEST_F(BusWindows, PluggingAndRemovingADeviceReachesTheClientsAfterARescan) {
    OpenWithClient();
    std::optional<FakeDriver> plugged;
    plugged.emplace(m_bus.Dir(), "unit01");
    ASSERT_TRUE(PumpUntil([&] { return m_client.Count(kWmCameraDeviceList) == 1; }));
    EXPECT_EQ(m_comm.GetDeviceCount(), 2u);
    EXPECT_EQ(m_comm.GetDevicePath(1), plugged->Path());

    plugged.reset();
    ASSERT_TRUE(PumpUntil([&] { return m_client.Count(kWmCameraDeviceList) == 2; }));
    EXPECT_EQ(m_comm.GetDeviceCount(), 1u);
    EXPECT_EQ(m_client.Count(kWmCameraBusReset), 0u);
}

TEST_F(BusWindows, OnThe95FamilyARemovalWaitsForTheNodesChangedNotice) {
    std::optional<FakeDriver> second;
    second.emplace(m_bus.Dir(), "unit01");
    OpenWithClient();
    ASSERT_EQ(m_comm.GetDeviceCount(), 2u);
    Block()->SetPlatformId(1);

    second.reset();
    bustest::PumpFor(300ms);
    EXPECT_EQ(m_client.Count(kWmCameraDeviceList), 0u);
    EXPECT_EQ(m_comm.GetDeviceCount(), 2u);

    platform::MessageEndpoint::Post(m_comm.GetSafeHwnd(),
                                    {platform::kWmDeviceChange, platform::kDeviceNodesChanged, 0});
    ASSERT_TRUE(PumpUntil([&] { return m_client.Count(kWmCameraDeviceList) == 1; }));
    EXPECT_EQ(m_comm.GetDeviceCount(), 1u);
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
