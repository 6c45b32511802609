// CFirewireComm against the simulated bus and its camera: queries, register access, injected
// faults, and a transfer whose resources the bus sees taken and given back.
#include <gtest/gtest.h>

#include <thread>

#include "bus/CFirewireComm.h"
#include "bus/DriverCodes.h"
#include "platform/ByteOrder.h"
#include "tests/support/SimulatedBus.h"

using namespace std::chrono_literals;

namespace {

constexpr unsigned kLocalBus = 1023;
constexpr std::uint16_t kCsrHigh = 0xFFFF;
constexpr std::uint32_t kCsrLow = 0xF0000000;

bool WaitForState(const CIsochTransferThread& thread, IsochState state) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (thread.m_nState != state) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

class SimulatedCamera : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_bus.IsRunning());
        ASSERT_TRUE(m_comm.Open());
        ASSERT_EQ(m_comm.GetDevicePathCount(), 1u);
        ASSERT_TRUE(m_comm.GetUnitInfo(&m_commandBase, &m_vendor));
    }

    std::string Status() const { return m_bus.Busctl({"status"}).output; }

    testsupport::SimulatedBus m_bus;
    CFirewireComm m_comm;
    std::uint32_t m_commandBase = 0;
    std::uint32_t m_vendor = 0;
};

TEST_F(SimulatedCamera, NodeSpeedAndConfigurationRom) {
    const int device = m_comm.GetNodeNumber(false);
    const int host = m_comm.GetNodeNumber(true);
    EXPECT_GE(device, 0);
    EXPECT_LT(device, 63);
    EXPECT_GE(host, 0);
    EXPECT_LT(host, 63);
    EXPECT_NE(device, host);
    int speed = 0;
    ASSERT_TRUE(m_comm.GetMaxSpeed(&speed));
    EXPECT_EQ(speed, 4);
    int version = 0;
    ASSERT_TRUE(m_comm.GetUnitVersion(&version));
    EXPECT_EQ(version, 2);
    EXPECT_NE(m_vendor, 0u);
    EXPECT_NE(m_commandBase, 0u);
    EXPECT_EQ(m_commandBase & 3, 0u);
}

TEST_F(SimulatedCamera, RegisterReadsAndTheirFaults) {
    const int node = m_comm.GetNodeNumber(false);
    std::uint8_t data[8] = {};
    const std::uint32_t inquiry = kCsrLow + m_commandBase + 0x400;  // basic function inquiry
    EXPECT_EQ(m_comm.AsyncRead(data, 4, kLocalBus, node, kCsrHigh, inquiry), 4u);

    ASSERT_TRUE(m_bus.Busctl({"fault", "async-short"}).Ok());
    EXPECT_EQ(m_comm.AsyncRead(data, 8, kLocalBus, node, kCsrHigh, inquiry), 4u);
    ASSERT_TRUE(m_bus.Busctl({"fault", "async-fail"}).Ok());
    EXPECT_EQ(m_comm.AsyncRead(data, 4, kLocalBus, node, kCsrHigh, inquiry), 0u);
    EXPECT_EQ(m_comm.AsyncRead(data, 4, kLocalBus, node, kCsrHigh, inquiry), 4u);
    // Nobody answers for a node that is not on the bus.
    EXPECT_EQ(m_comm.AsyncRead(data, 4, kLocalBus, 40, kCsrHigh, inquiry), 0u);
}

TEST_F(SimulatedCamera, ATransferGivesBackEverythingItTook) {
    ASSERT_TRUE(m_comm.StartIsochTransfer(0, false, true, -1, 2, 0, 640 * 480 * 2, true, 1));
    CIsochTransferThread* thread = m_comm.FindIsochThread(0);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(Status().find("channels none"), std::string::npos);

    ASSERT_TRUE(WaitForState(*thread, CIsochTransferThread::kStateArmed));
    thread->SignalStart();
    ASSERT_TRUE(WaitForState(*thread, CIsochTransferThread::kStateRunning));
    EXPECT_EQ(m_comm.StopIsochTransfer(0, true), 5);
    m_comm.RemoveIsochTransfer(0);
    EXPECT_NE(Status().find("bandwidth 0/"), std::string::npos) << Status();
    EXPECT_NE(Status().find("channels none"), std::string::npos) << Status();

    // A second transfer on the same channel can take the resources again.
    ASSERT_TRUE(m_comm.StartIsochTransfer(0, false, true, 4, 0, 0, 640 * 480 * 2, true, 0));
    m_comm.RemoveIsochTransfer(0);
}

}  // namespace
