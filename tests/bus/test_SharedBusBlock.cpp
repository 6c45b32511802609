// The shared bus block within one process: its layout, the device and window tables and their
// limits, and windows whose owner is gone.
#include <gtest/gtest.h>

#include "bus/DriverCodes.h"
#include "bus/SharedBusBlock.h"
#include "tests/bus/BusTestSupport.h"

using bus::SharedBusBlock;
using platform::EndpointHandle;

namespace {

class SharedBlock : public ::testing::Test {
protected:
    void SetUp() override {
        m_block = SharedBusBlock::Open();
        ASSERT_NE(m_block, nullptr);
    }

    // Live windows on this thread; each counts what it receives.
    std::vector<EndpointHandle> MakeWindows(std::size_t count) {
        std::vector<EndpointHandle> handles;
        for (std::size_t i = 0; i < count; ++i) {
            m_logs.push_back(std::make_unique<bustest::MessageLog>());
            handles.push_back(m_logs.back()->Handle());
        }
        return handles;
    }

    bustest::PrivateBus m_bus{"block"};
    std::unique_ptr<SharedBusBlock> m_block;
    std::vector<std::unique_ptr<bustest::MessageLog>> m_logs;
};

TEST_F(SharedBlock, LayoutOfTheBlock) {
    EXPECT_EQ(SharedBusBlock::kSize, 2632u);
    EXPECT_EQ(SharedBusBlock::kDeviceTableOffset + 10 * 255 + 2,
              SharedBusBlock::kWindowTableOffset);
    EXPECT_EQ(SharedBusBlock::kWindowTableOffset + 16 * 4, SharedBusBlock::kSize);

    EXPECT_EQ(m_block->AddOpenCount(1), 1u);
    m_block->SetPlatformId(2);
    m_block->SetDevices({"/a", "/b"});
    const std::vector<EndpointHandle> windows = MakeWindows(1);
    ASSERT_TRUE(m_block->ClaimMaster(windows[0]));
    ASSERT_TRUE(m_block->AddWindow(windows[0]));
    EXPECT_EQ(m_block->WordAt(0), windows[0]);
    EXPECT_EQ(m_block->WordAt(4), 1u);
    EXPECT_EQ(m_block->WordAt(8), 2u);
    EXPECT_EQ(m_block->WordAt(12), 2u);
    EXPECT_EQ(m_block->WordAt(16) & 0xFFFF, std::uint32_t('/' | 'a' << 8));
    EXPECT_EQ(m_block->WordAt(16 + 255) & 0xFFFF00, std::uint32_t('b' << 8));
    EXPECT_EQ(m_block->WordAt(2568), windows[0]);
    EXPECT_EQ(m_block->WordAt(2572), 0u);
}

TEST_F(SharedBlock, TheDeviceTableSkipsLongPathsAndStopsAtTen) {
    std::vector<std::string> paths;
    for (int i = 0; i < 12; ++i) paths.push_back("/dev/unit" + std::to_string(i));
    paths.insert(paths.begin() + 1, "/" + std::string(254, 'x'));  // 255 bytes: no room for NUL
    paths.insert(paths.begin() + 2, "/" + std::string(253, 'y'));  // 254 bytes: fits
    EXPECT_EQ(m_block->SetDevices(paths), 10u);

    SharedBusBlock::PathTable table;
    ASSERT_EQ(m_block->GetDevices(table), 10u);
    EXPECT_STREQ(table[0].data(), "/dev/unit0");
    EXPECT_EQ(std::string(table[1].data()), paths[2]);
    EXPECT_STREQ(table[2].data(), "/dev/unit1");
    EXPECT_STREQ(table[9].data(), "/dev/unit8");
    // Nothing spilled past the table into the window table.
    EXPECT_EQ(m_block->WordAt(SharedBusBlock::kWindowTableOffset), 0u);
    EXPECT_EQ(m_block->WordAt(2564) >> 16, 0u);

    EXPECT_EQ(m_block->SetDevices({}), 0u);
    EXPECT_EQ(m_block->FirstDevice(), "");
}

TEST_F(SharedBlock, ASeventeenthWindowIsRefused) {
    const std::vector<EndpointHandle> w = MakeWindows(17);
    for (std::size_t i = 0; i < 16; ++i) ASSERT_TRUE(m_block->AddWindow(w[i]));
    EXPECT_FALSE(m_block->AddWindow(w[16]));
    EXPECT_EQ(m_block->Windows().size(), 16u);

    // A full table receives 16 notices, one per window.
    m_block->PostToWindows(bus::kWmCameraBusReset, [] { return false; });
    ASSERT_TRUE(bustest::PumpUntil([&] { return m_logs[15]->Count(bus::kWmCameraBusReset) == 1; }));
    for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(m_logs[i]->Count(bus::kWmCameraBusReset), 1u);
    EXPECT_EQ(m_logs[16]->Count(bus::kWmCameraBusReset), 0u);
}

TEST_F(SharedBlock, WindowsThatAreGoneAreDroppedAndMakeRoom) {
    const std::vector<EndpointHandle> w = MakeWindows(16);
    for (EndpointHandle h : w) ASSERT_TRUE(m_block->AddWindow(h));
    m_logs[3].reset();
    m_logs[7].reset();

    // A broadcast drops what it could not reach, keeping the rest in order.
    m_block->SendToWindows(bus::kWmCameraDeviceList);
    std::vector<EndpointHandle> alive = w;
    std::erase(alive, w[3]);
    std::erase(alive, w[7]);
    EXPECT_EQ(m_block->Windows(), alive);

    // A full table takes a newcomer in the place of a window that is gone.
    for (EndpointHandle h : MakeWindows(2)) ASSERT_TRUE(m_block->AddWindow(h));
    ASSERT_EQ(m_block->Windows().size(), 16u);
    m_logs[0].reset();
    ASSERT_TRUE(m_block->AddWindow(MakeWindows(1)[0]));
    EXPECT_EQ(m_block->Windows().size(), 16u);
    EXPECT_EQ(m_block->Windows().front(), w[1]);
}

}  // namespace
