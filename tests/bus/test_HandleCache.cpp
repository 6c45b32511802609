// The bus object's cached device connections on the simulated bus: given up at a bus reset and
// at device changes, replaced after a broken or stuck connection, and shared by two threads.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>

#include "bus/CFirewireComm.h"
#include "platform/ByteOrder.h"
#include "tests/bus/BusTestSupport.h"
#include "tests/support/SimulatedBus.h"

using bustest::PumpUntil;

namespace {

constexpr unsigned kLocalBus = 1023;
constexpr std::uint16_t kCsrHigh = 0xFFFF;
constexpr std::uint32_t kCsrLow = 0xF0000000;
constexpr std::uint32_t kBasicFuncInq = 0x400;

// A bus object that shows how many connections it keeps and counts its bus-reset notices.
class CCachingComm : public CFirewireComm {
public:
    ~CCachingComm() override { Close(); }
    std::size_t CachedHandles() const { return m_handleCache.Size(); }
    int m_nBusResetNotices = 0;

protected:
    std::int64_t OnBusReset(std::uint64_t wParam, std::int64_t lParam) override {
        ++m_nBusResetNotices;
        return CFirewireComm::OnBusReset(wParam, lParam);
    }
};

class HandleCache : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_bus.IsRunning());
        ASSERT_TRUE(m_comm.Open());
        ASSERT_EQ(m_comm.GetDevicePathCount(), 1u);
        std::uint32_t vendor = 0;
        ASSERT_TRUE(m_comm.GetUnitInfo(&m_commandBase, &vendor));
        m_inquiry = ReadInquiry();
        ASSERT_TRUE(m_inquiry.has_value());
    }

    // The camera's basic function inquiry, read as the camera library reads a register: at
    // the node number the driver gives now. Empty when the access fails.
    std::optional<std::uint32_t> ReadInquiry() {
        const int node = m_comm.GetNodeNumber(false);
        if (node < 0 || node > 63) return std::nullopt;
        std::uint8_t data[4] = {};
        if (m_comm.AsyncRead(data, 4, kLocalBus, unsigned(node), kCsrHigh,
                             kCsrLow + m_commandBase + kBasicFuncInq) != 4) {
            return std::nullopt;
        }
        return platform::LoadBE32(data);
    }

    bool Busctl(const std::vector<std::string>& arguments) { return m_bus.Busctl(arguments).Ok(); }

    testsupport::SimulatedBus m_bus;
    CCachingComm m_comm;
    std::uint32_t m_commandBase = 0;
    std::optional<std::uint32_t> m_inquiry;
};

TEST_F(HandleCache, ABusResetDropsTheConnectionAndTheNextAccessFindsTheNewNode) {
    EXPECT_EQ(m_comm.CachedHandles(), 1u);
    const int before = m_comm.GetNodeNumber(false);
    ASSERT_TRUE(m_bus.WaitForResetWaits(1));
    ASSERT_TRUE(Busctl({"bus-reset", "--renumber"}));
    ASSERT_TRUE(PumpUntil([&] { return m_comm.m_nBusResetNotices > 0; }));
    EXPECT_EQ(m_comm.CachedHandles(), 0u);
    EXPECT_NE(m_comm.GetNodeNumber(false), before);
    EXPECT_EQ(ReadInquiry(), m_inquiry);
    EXPECT_EQ(m_comm.CachedHandles(), 1u);
}

TEST_F(HandleCache, AnAccessAfterUnplugFailsCleanlyAndAfterReplugWorks) {
    ASSERT_TRUE(Busctl({"remove", "0"}));
    // Before the notice is handled the kept connection answers for a unit that is gone.
    EXPECT_EQ(ReadInquiry(), std::nullopt);
    ASSERT_TRUE(PumpUntil([&] { return m_comm.GetDevicePathCount() == 0; }));
    EXPECT_EQ(ReadInquiry(), std::nullopt);
    EXPECT_EQ(m_comm.CachedHandles(), 0u);

    ASSERT_TRUE(Busctl({"add-camera"}));
    ASSERT_TRUE(PumpUntil([&] { return m_comm.GetDevicePathCount() == 1; }));
    EXPECT_EQ(ReadInquiry(), m_inquiry);
}

// A driver that restarts publishes the same path again: once the device notices are handled,
// the first access already reaches the new driver instead of failing on the dead connection.
TEST_F(HandleCache, TheFirstAccessAfterTheDriverCameBackSucceeds) {
    m_bus.Stop();
    ASSERT_TRUE(PumpUntil([&] { return m_comm.GetDevicePathCount() == 0; }));
    ASSERT_TRUE(m_bus.Restart());
    ASSERT_TRUE(PumpUntil([&] { return m_comm.GetDevicePathCount() == 1; }));
    EXPECT_EQ(ReadInquiry(), m_inquiry);
}

// A request the driver never answers fails after the time-out; that connection is given up and
// the next access connects afresh, without sending the failed request again.
TEST_F(HandleCache, AStuckConnectionIsReplacedOnTheNextAccess) {
    // The stall takes the bus's next request: the watcher's wait must be in place already.
    ASSERT_TRUE(m_bus.WaitForResetWaits(1));
    ASSERT_TRUE(Busctl({"fault", "stall"}));
    EXPECT_EQ(m_comm.GetNodeNumber(false) & 0xFFFF, 0xFFFF);
    EXPECT_EQ(m_comm.CachedHandles(), 0u);
    EXPECT_EQ(ReadInquiry(), m_inquiry);
}

TEST_F(HandleCache, TwoThreadsShareTheConnectionWhileBusResetsDropIt) {
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::atomic<int> reads{0};
    const auto reader = [&] {
        while (!stop) {
            if (ReadInquiry() != m_inquiry) ++failures;
            ++reads;
        }
    };
    std::thread first(reader);
    std::thread second(reader);
    // Three drops, each once the watcher's wait pends at the driver, so that each is heard.
    bool noticed = true;
    for (int reset = 1; reset <= 3 && noticed; ++reset) {
        noticed = m_bus.WaitForResetWaits(1) && Busctl({"bus-reset"}) &&
                  PumpUntil([&] { return m_comm.m_nBusResetNotices == reset; });
    }
    // Both threads go on reading across the last drop.
    const int after = reads;
    noticed = noticed && PumpUntil([&] { return reads >= after + 20; });
    stop = true;
    first.join();
    second.join();
    EXPECT_TRUE(noticed);
    EXPECT_EQ(failures, 0);
}

}  // namespace
