// Register access, node, speed and configuration-ROM queries of CFirewireComm against a
// stand-in driver, and how they fail.
#include <gtest/gtest.h>

#include "bus/CFirewireComm.h"
#include "bus/DriverCodes.h"
#include "platform/ByteOrder.h"
#include "tests/bus/BusTestSupport.h"
#include "tests/bus/FakeDriver.h"

using namespace bus;
using bustest::DriverModel;
using bustest::FakeDriver;

namespace {

std::uint32_t At(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    return platform::LoadLE32(bytes.data() + offset);
}

DriverModel CameraModel() {
    DriverModel model;
    model.busInfo[12] = 0x00;  // company id 0x00A0B1, most significant byte first
    model.busInfo[13] = 0xA0;
    model.busInfo[14] = 0xB1;
    model.unitDirectory = {0x00, 0x02, 0x00, 0x00, 0x13, 0x00, 0x01, 0x01};  // version 0x000101
    model.unitDependentDirectory = {0x40, 0x3C, 0x00, 0x00};  // command base 0x3C0000 quadlets
    return model;
}

class BusRequests : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_comm.Open());
        ASSERT_EQ(m_comm.GetDevicePathCount(), 1u);
        ASSERT_EQ(m_comm.GetCurrentDevice(), 0);
        ASSERT_TRUE(m_driver.WaitForRequests(kIoctlBusResetWait, 1));
        m_driver.ClearRequests();
    }

    bustest::PrivateBus m_bus{"requests"};
    FakeDriver m_driver{m_bus.Dir(), "unit00", CameraModel()};
    CFirewireComm m_comm;
};

TEST(BusRequestsClosed, WithoutASelectedDeviceEveryRequestFails) {
    bustest::PrivateBus bus("nodevice");
    FakeDriver driver(bus.Dir(), "unit00");
    CFirewireComm comm;  // never opened: no device list, nothing selected
    EXPECT_FALSE(comm.SelectDevice(0));
    EXPECT_EQ(comm.GetNodeNumber(false) & 0xFFFF, 0xFFFF);
    EXPECT_EQ(comm.GetNodeNumber(true) & 0xFFFF, 0xFFFF);
    std::uint8_t data[8] = {};
    EXPECT_EQ(comm.AsyncRead(data, 4, 1023, 2, 0xFFFF, 0xF0F00000), 0u);
    EXPECT_FALSE(comm.AsyncWrite(data, 4, 1023, 2, 0xFFFF, 0xF0F00000));
    int value = -1;
    EXPECT_FALSE(comm.GetMaxSpeed(&value));
    EXPECT_FALSE(comm.GetUnitVersion(&value));
    EXPECT_EQ(value, 0);
    std::uint32_t base = 0;
    std::uint32_t vendor = 0;
    EXPECT_FALSE(comm.GetUnitInfo(&base, &vendor));
    EXPECT_FALSE(comm.StartIsochTransfer(0, false, true, -1, 0, 0, 640, true, 0));
    EXPECT_TRUE(driver.Requests().empty());
}

TEST_F(BusRequests, NodeNumbersOfDeviceAndHost) {
    EXPECT_EQ(m_comm.GetNodeNumber(false), 2);
    EXPECT_EQ(m_comm.GetNodeNumber(true), 0);
    const auto seen = m_driver.Requests();
    ASSERT_EQ(seen.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(seen[i].code, kIoctlNodeAddress);
        ASSERT_EQ(seen[i].bytes.size(), 8u);
        EXPECT_EQ(seen[i].outSize, 8u);
        EXPECT_EQ(At(seen[i].bytes, 0), i);  // 0 the device, 1 the host adapter
        EXPECT_EQ(At(seen[i].bytes, 4), 0u);
    }
    EXPECT_FALSE(m_comm.SelectDevice(1));

    DriverModel model = CameraModel();
    model.failures[kIoctlNodeAddress] = 0x0001048F;
    m_driver.SetModel(model);
    EXPECT_EQ(m_comm.GetNodeNumber(false), 0x0001FFFF);  // the error, low 16 bits set
}

TEST_F(BusRequests, AFiveByteReadSendsA48ByteRecord) {
    std::uint8_t data[5] = {};
    EXPECT_EQ(m_comm.AsyncRead(data, 5, 1023, 2, 0xFFFF, 0xF0F00600), 5u);
    const std::uint8_t expected[5] = {0x40, 0x41, 0x42, 0x43, 0x44};
    EXPECT_TRUE(std::equal(data, data + 5, expected));

    // The host adapter's node is asked first, to tell host memory from the bus.
    EXPECT_EQ(m_driver.Codes(), (std::vector<std::uint32_t>{kIoctlNodeAddress, kIoctlAsyncRead}));
    const auto read = m_driver.RequestsWithCode(kIoctlAsyncRead).at(0);
    ASSERT_EQ(read.bytes.size(), 48u);
    EXPECT_EQ(read.outSize, 48u);
    EXPECT_EQ(At(read.bytes, 0), 1u);
    EXPECT_EQ(At(read.bytes, 4), 1u);
    EXPECT_EQ(At(read.bytes, 8), 0xFFC2u);
    EXPECT_EQ(At(read.bytes, 12), 0xFFFFu);
    EXPECT_EQ(At(read.bytes, 16), 0xF0F00600u);
    EXPECT_EQ(At(read.bytes, 20), 8u);
}

TEST_F(BusRequests, AWriteCarriesItsDataAtOffset36) {
    const std::uint8_t data[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_TRUE(m_comm.AsyncWrite(data, 6, 1023, 2, 0xFFFF, 0xF0F0061C));
    const auto write = m_driver.RequestsWithCode(kIoctlAsyncWrite).at(0);
    ASSERT_EQ(write.bytes.size(), 48u);
    EXPECT_EQ(At(write.bytes, 16), 0xF0F0061Cu);
    EXPECT_EQ(At(write.bytes, 20), 8u);
    const std::vector<std::uint8_t> payload(write.bytes.begin() + 36, write.bytes.end());
    EXPECT_EQ(payload, (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 0, 0, 0, 0, 0, 0}));
}

TEST_F(BusRequests, ABroadcastIsOneWriteToNode63) {
    const std::uint8_t quadlet[4] = {0x80, 0, 0, 0};
    EXPECT_TRUE(m_comm.BroadcastWrite(quadlet, 0xFFFF, 0xF0F00614));
    // No node number is asked first: every node takes it.
    EXPECT_EQ(m_driver.Codes(), (std::vector<std::uint32_t>{kIoctlAsyncBroadcastWrite}));
    const auto write = m_driver.RequestsWithCode(kIoctlAsyncBroadcastWrite).at(0);
    ASSERT_EQ(write.bytes.size(), 44u);
    EXPECT_EQ(At(write.bytes, 8), 0xFFFFu);
    EXPECT_EQ(At(write.bytes, 16), 0xF0F00614u);
    EXPECT_EQ(At(write.bytes, 20), 4u);
    EXPECT_EQ(write.bytes[36], 0x80);
}

TEST_F(BusRequests, TheHostsOwnNodeIsReachedThroughHostMemory) {
    std::uint8_t data[4] = {};
    EXPECT_EQ(m_comm.AsyncRead(data, 4, 1023, 0, 0xFFFF, 0xF0000000), 4u);
    EXPECT_EQ(data[0], 0x40);
    const std::uint8_t out[3] = {7, 8, 9};
    EXPECT_TRUE(m_comm.AsyncWrite(out, 3, 1023, 0, 0xFFFF, 0xF0000000));

    EXPECT_TRUE(m_driver.RequestsWithCode(kIoctlAsyncRead).empty());
    EXPECT_TRUE(m_driver.RequestsWithCode(kIoctlAsyncWrite).empty());
    const auto read = m_driver.RequestsWithCode(kIoctlHostMemoryRead).at(0);
    ASSERT_EQ(read.bytes.size(), 20u);
    EXPECT_EQ(At(read.bytes, 0), 0u);  // the host address-range handle
    EXPECT_EQ(At(read.bytes, 4), 4u);
    EXPECT_EQ(At(read.bytes, 8), 0u);
    const auto write = m_driver.RequestsWithCode(kIoctlHostMemoryWrite).at(0);
    ASSERT_EQ(write.bytes.size(), 19u);
    EXPECT_EQ(At(write.bytes, 4), 3u);
    EXPECT_EQ(write.bytes[12], 7);
    EXPECT_EQ(write.bytes[14], 9);
}

TEST_F(BusRequests, AnImpossibleLengthIsRefusedBeforeAnythingIsSent) {
    std::uint8_t data[4] = {};
    EXPECT_EQ(m_comm.AsyncRead(data, 0xFFFFFFF0u, 1023, 2, 0xFFFF, 0xF0F00000), 0u);
    EXPECT_TRUE(m_driver.RequestsWithCode(kIoctlAsyncRead).empty());
}

TEST_F(BusRequests, MaxSpeedIsTheSlowerOfDeviceAndHost) {
    DriverModel model = CameraModel();
    model.hostSpeed = 2;
    m_driver.SetModel(model);
    int speed = 0;
    ASSERT_TRUE(m_comm.GetMaxSpeed(&speed));
    EXPECT_EQ(speed, 2);
    const auto seen = m_driver.RequestsWithCode(kIoctlMaxSpeed);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].bytes.size(), 268u);
    EXPECT_EQ(At(seen[0].bytes, 0), 0u);
    EXPECT_EQ(At(seen[1].bytes, 0), 1u);

    model.failures[kIoctlMaxSpeed] = 31;
    m_driver.SetModel(model);
    EXPECT_FALSE(m_comm.GetMaxSpeed(&speed));
}

TEST_F(BusRequests, ConfigurationRomGivesVersionVendorAndCommandBase) {
    int version = -1;
    ASSERT_TRUE(m_comm.GetUnitVersion(&version));
    EXPECT_EQ(version, 2);
    const auto seen = m_driver.RequestsWithCode(kIoctlConfigInfo);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].bytes, std::vector<std::uint8_t>(68, 0));
    ASSERT_EQ(seen[1].bytes.size(), 68u + 8 + 4);
    EXPECT_EQ(At(seen[1].bytes, 24), 8u);
    EXPECT_EQ(At(seen[1].bytes, 40), 4u);

    std::uint32_t base = 0;
    std::uint32_t vendor = 0;
    ASSERT_TRUE(m_comm.GetUnitInfo(&base, &vendor));
    EXPECT_EQ(vendor, 0x00A0B1u);
    EXPECT_EQ(base, 0x00F00000u);
}

TEST_F(BusRequests, UnitKindsAndDirectoriesTooShortToRead) {
    const std::pair<std::uint32_t, int> kinds[] = {
        {0x000100, 2}, {0x000102, 2}, {0x010001, 1}, {0x014100, 3}, {0x000103, 0}};
    DriverModel model = CameraModel();
    for (const auto& [value, kind] : kinds) {
        model.unitDirectory = {0,
                               1,
                               0,
                               0,
                               0x12,
                               std::uint8_t(value >> 16),
                               std::uint8_t(value >> 8),
                               std::uint8_t(value)};
        m_driver.SetModel(model);
        int version = -1;
        ASSERT_TRUE(m_comm.GetUnitVersion(&version));
        EXPECT_EQ(version, kind) << std::hex << value;
    }

    // Too short to hold what is read from them: nothing, never stray bytes.
    model.unitDirectory = {0x00, 0x01, 0x00, 0x00};
    model.unitDependentDirectory.clear();
    m_driver.SetModel(model);
    int version = -1;
    EXPECT_TRUE(m_comm.GetUnitVersion(&version));
    EXPECT_EQ(version, 0);
    std::uint32_t base = 0;
    std::uint32_t vendor = 0;
    EXPECT_FALSE(m_comm.GetUnitInfo(&base, &vendor));
    EXPECT_EQ(vendor, 0x00A0B1u);

    model.failures[kIoctlConfigInfo] = 31;
    m_driver.SetModel(model);
    EXPECT_FALSE(m_comm.GetUnitVersion(&version));
}

}  // namespace
