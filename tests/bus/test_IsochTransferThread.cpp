// The isochronous transfer thread: resources it takes and gives back, its attach record, its
// states, and how it is stopped and ended.
#include <gtest/gtest.h>

#include <thread>

#include "bus/CFirewireComm.h"
#include "bus/CIsochTransferThread.h"
#include "bus/DriverCodes.h"
#include "platform/ByteOrder.h"
#include "tests/bus/BusTestSupport.h"
#include "tests/bus/FakeDriver.h"

using namespace bus;
using bustest::DriverModel;
using bustest::FakeDriver;
using namespace std::chrono_literals;

namespace {

std::uint32_t At(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return platform::LoadLE32(bytes.data() + offset);
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// A thread whose record work and end can be watched from the test.
class ProbeThread : public CIsochTransferThread {
public:
    ~ProbeThread() override { QuitAndJoin(); }
    using CIsochTransferThread::AllocAttachRecord;
    using CIsochTransferThread::BuildDescriptors;
    using CIsochTransferThread::CopyOut;
    std::atomic<bool> m_bExited{false};

protected:
    int ExitInstance() override {
        m_bExited = true;
        return 0;
    }
};

class IsochTransfer : public ::testing::Test {
protected:
    void SetUp() override { Reopen(DriverModel{}); }

    void Reopen(const DriverModel& model) {
        m_driver.SetModel(model);
        m_comm.Close();
        ASSERT_TRUE(m_comm.Open());
        ASSERT_TRUE(m_driver.WaitForRequests(kIoctlBusResetWait, 1));
        m_driver.ClearRequests();
    }

    // The transfer requests seen, the bus-reset watch left out.
    std::vector<std::uint32_t> TransferCodes() const {
        std::vector<std::uint32_t> codes = m_driver.Codes();
        std::erase(codes, kIoctlBusResetWait);
        return codes;
    }

    bool Start(int channel, bool allocate, int speed = 4, int bufferBytes = 1000) {
        return m_comm.StartIsochTransfer(channel, false, allocate, speed, 2, 0, bufferBytes, true,
                                         1);
    }

    bustest::PrivateBus m_bus{"isoch"};
    FakeDriver m_driver{m_bus.Dir(), "unit00"};
    CFirewireComm m_comm;
};

TEST_F(IsochTransfer, OpenAllocatesInOrderAndCloseFreesInReverse) {
    DriverModel model;
    model.hostCaps = kHostCapStripHeader;
    Reopen(model);
    ASSERT_TRUE(Start(3, true));
    CIsochTransferThread* thread = m_comm.FindIsochThread(3);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(thread->m_nBytesPerPacket, 640u);  // 0 asks for the default
    EXPECT_EQ(m_comm.FindIsochThread(4), nullptr);

    EXPECT_EQ(TransferCodes(),
              (std::vector<std::uint32_t>{kIoctlHostInfo, kIoctlAllocateBandwidth,
                                          kIoctlAllocateChannel, kIoctlAllocateResources}));
    const auto info = m_driver.RequestsWithCode(kIoctlHostInfo).at(0).bytes;
    EXPECT_EQ(At(info, 4), 2u);
    const auto bandwidth = m_driver.RequestsWithCode(kIoctlAllocateBandwidth).at(0).bytes;
    EXPECT_EQ(At(bandwidth, 0), 640u);
    EXPECT_EQ(At(bandwidth, 4), 4u);
    EXPECT_EQ(At(m_driver.RequestsWithCode(kIoctlAllocateChannel).at(0).bytes, 0), 3u);
    const auto resources = m_driver.RequestsWithCode(kIoctlAllocateResources).at(0).bytes;
    const std::uint32_t expected[] = {4, 0x0D, 3, 640, 1, 1000, 1};  // listen, strip, circular
    for (std::size_t i = 0; i < 7; ++i) EXPECT_EQ(At(resources, 4 * i), expected[i]) << i;

    m_driver.ClearRequests();
    m_comm.RemoveIsochTransfer(3);
    EXPECT_EQ(m_comm.FindIsochThread(3), nullptr);
    EXPECT_EQ(TransferCodes(), (std::vector<std::uint32_t>{kIoctlFreeResources, kIoctlFreeChannel,
                                                           kIoctlFreeBandwidth}));
    EXPECT_EQ(At(m_driver.RequestsWithCode(kIoctlFreeResources).at(0).bytes, 0), 0x0C0Cu);
    EXPECT_EQ(At(m_driver.RequestsWithCode(kIoctlFreeChannel).at(0).bytes, 0), 3u);
    EXPECT_EQ(At(m_driver.RequestsWithCode(kIoctlFreeBandwidth).at(0).bytes, 0), 0x0B0Bu);
}

TEST_F(IsochTransfer, WithoutTheAllocateFlagOnlyResourcesAreTakenAndFreed) {
    ASSERT_TRUE(Start(1, false));
    m_comm.RemoveIsochTransfer(1);
    EXPECT_EQ(TransferCodes(), (std::vector<std::uint32_t>{kIoctlHostInfo, kIoctlAllocateResources,
                                                           kIoctlFreeResources}));
    const auto resources = m_driver.RequestsWithCode(kIoctlAllocateResources).at(0).bytes;
    EXPECT_EQ(At(resources, 4), 0x05u);  // listen, circular; no header strip offered
    EXPECT_EQ(At(resources, 24), 0u);
}

TEST_F(IsochTransfer, EveryFailedOpenStepGivesBackWhatWasTaken) {
    struct Case {
        std::uint32_t failing;
        std::vector<std::uint32_t> codes;
    };
    const Case cases[] = {
        {kIoctlHostInfo, {kIoctlHostInfo}},
        {kIoctlAllocateBandwidth, {kIoctlHostInfo, kIoctlAllocateBandwidth}},
        {kIoctlAllocateChannel,
         {kIoctlHostInfo, kIoctlAllocateBandwidth, kIoctlAllocateChannel, kIoctlFreeBandwidth}},
        {kIoctlAllocateResources,
         {kIoctlHostInfo, kIoctlAllocateBandwidth, kIoctlAllocateChannel, kIoctlAllocateResources,
          kIoctlFreeChannel, kIoctlFreeBandwidth}},
    };
    for (const Case& c : cases) {
        DriverModel model;
        model.failures[c.failing] = 170;
        m_driver.SetModel(model);
        m_driver.ClearRequests();
        EXPECT_FALSE(Start(2, true)) << std::hex << c.failing;
        EXPECT_EQ(m_comm.FindIsochThread(2), nullptr);
        EXPECT_EQ(TransferCodes(), c.codes) << std::hex << c.failing;
    }
    const auto freed = m_driver.RequestsWithCode(kIoctlFreeBandwidth);
    ASSERT_FALSE(freed.empty());
    EXPECT_EQ(At(freed.back().bytes, 0), 0x0B0Bu);
}

TEST_F(IsochTransfer, AFailingSpeedQueryCreatesNoThread) {
    DriverModel model;
    model.failures[kIoctlMaxSpeed] = 31;
    m_driver.SetModel(model);
    EXPECT_FALSE(Start(0, true, -1));
    EXPECT_TRUE(m_driver.RequestsWithCode(kIoctlHostInfo).empty());

    model.failures.clear();
    model.hostSpeed = 2;
    m_driver.SetModel(model);
    ASSERT_TRUE(Start(0, true, -1));
    EXPECT_EQ(At(m_driver.RequestsWithCode(kIoctlAllocateBandwidth).at(0).bytes, 4), 2u);
}

TEST(IsochTransferThread, AFailedOpenWaitsInState3ForTheQuitSignal) {
    bustest::PrivateBus bus("failedopen");
    ProbeThread thread;
    thread.SetDevicePath((bus.Dir() / "nothing-listens").string());
    thread.CreateEvents();
    thread.CreateThread(platform::ThreadPriority::TimeCritical);
    ASSERT_TRUE(WaitUntil([&] { return thread.m_nState == CIsochTransferThread::kStateFailed; }));
    EXPECT_TRUE(thread.m_bLoop);
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(thread.m_bExited);
    thread.SignalQuit();
    EXPECT_TRUE(WaitUntil([&] { return thread.m_bExited.load(); }));
}

TEST(IsochTransferThread, DescriptorsSplitTheCallersDataAcrossBuffers) {
    ProbeThread thread;
    thread.m_bTalk = true;
    thread.m_nDescriptors = 2;
    thread.m_nBufferBytes = 640;
    thread.m_nBytesPerPacket = 320;
    thread.m_nDescMode = 1;
    thread.m_dwDescValue = 3;
    thread.m_bMarker = true;
    thread.m_nDataBytes = 1000;
    std::vector<std::uint8_t> data(1000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(i * 7 + 1);

    Record record;
    ASSERT_TRUE(thread.AllocAttachRecord(record));
    ASSERT_EQ(record.size(), (640u + 36) * 2 + 32);
    ASSERT_TRUE(thread.BuildDescriptors(record, data.data()));
    EXPECT_EQ(At(record, 4), 2u);
    EXPECT_EQ(At(record, 8), record.size());
    const std::size_t second = 32 + 36 + 640;
    for (std::size_t block : {std::size_t{32}, second}) {
        const std::uint32_t fields[] = {0x8000000A, 640, 320, 0, 3, 0, 1, 0};
        for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(At(record, block + 4 * i), fields[i]);
    }
    const auto first = record.begin() + 64;
    EXPECT_TRUE(std::equal(first, first + 640, data.begin()));
    const auto rest = record.begin() + std::ptrdiff_t(second) + 32;
    EXPECT_TRUE(std::equal(rest, rest + 360, data.begin() + 640));
    EXPECT_TRUE(std::all_of(rest + 360, rest + 644, [](std::uint8_t b) { return b == 0; }));

    // What a receive brings back lands in the same places of the caller's memory.
    std::vector<std::uint8_t> back(1000, 0);
    thread.CopyOut(record, back.data());
    EXPECT_EQ(back, data);

    // A whole multiple fills both buffers.
    thread.m_nDataBytes = 1280;
    data.resize(1280, 0xAB);
    ASSERT_TRUE(thread.BuildDescriptors(record, data.data()));
    EXPECT_TRUE(std::equal(rest, rest + 640, data.begin() + 640));

    // A record too small for the descriptors is refused, not overrun.
    Record small(100, 0);
    EXPECT_FALSE(thread.BuildDescriptors(small, data.data()));
}

// A listening record sized without data areas gets none and says so; a talking one cannot do
// without them.
TEST(IsochTransferThread, AReceiveRecordMayLeaveItsDataAreasOut) {
    ProbeThread thread;
    thread.m_nDescriptors = 2;
    thread.m_nBufferBytes = 640;
    thread.m_nDescMode = 2;
    thread.m_dwDescValue = 1;
    Record record;
    ASSERT_TRUE(thread.AllocAttachRecord(record, false));
    ASSERT_EQ(record.size(), 36u * 2 + 32);
    ASSERT_TRUE(thread.BuildDescriptors(record, nullptr));
    EXPECT_EQ(At(record, 8), record.size());
    EXPECT_EQ(At(record, kAttachFlagsOffset), kAttachNoDataAreas);
    for (std::size_t block : {std::size_t{32}, std::size_t{68}}) {
        EXPECT_EQ(At(record, block), kDescriptorSync);
        EXPECT_EQ(At(record, block + 4), 640u) << "the length still says the buffer's size";
    }
    thread.m_bTalk = true;
    EXPECT_FALSE(thread.BuildDescriptors(record, nullptr));
}

class RunningTransfer : public IsochTransfer {
protected:
    // Starts channel 5 listening and brings it to state 6 with its attach pending.
    CIsochTransferThread* StartRunning() {
        if (!Start(5, true)) return nullptr;
        CIsochTransferThread* thread = m_comm.FindIsochThread(5);
        WaitUntil([&] { return thread->m_nState == CIsochTransferThread::kStateArmed; });
        thread->SignalStart();
        WaitUntil([&] { return thread->m_nState == CIsochTransferThread::kStateRunning; });
        m_driver.WaitForRequests(kIoctlAttachBuffers, 1);
        return thread;
    }
};

TEST_F(RunningTransfer, AnOrderlyStopSendsStopAndCancels) {
    CIsochTransferThread* thread = StartRunning();
    ASSERT_NE(thread, nullptr);
    const auto attach = m_driver.RequestsWithCode(kIoctlAttachBuffers).at(0).bytes;
    EXPECT_EQ(attach.size(), (1000u + 36) + 32);
    EXPECT_EQ(At(attach, 0), 0x0C0Cu);
    EXPECT_EQ(At(attach, 32), 0x09u);  // sync mode, value 1
    EXPECT_EQ(At(attach, 32 + 12), 1u);
    EXPECT_EQ(m_driver.RequestsWithCode(kIoctlListen).size(), 1u);

    EXPECT_EQ(m_comm.StopIsochTransfer(5, true), 5);
    EXPECT_EQ(thread->m_nState, CIsochTransferThread::kStateIdle);
    EXPECT_EQ(At(m_driver.RequestsWithCode(kIoctlStop).at(0).bytes, 0), 0x0C0Cu);
    EXPECT_TRUE(WaitUntil([&] { return m_driver.Cancellations() == 1; }));
    EXPECT_EQ(m_driver.PendingCount(kIoctlAttachBuffers), 0u);

    // A stopped transfer is left as it is.
    EXPECT_EQ(m_comm.StopIsochTransfer(5, true), 5);
    m_comm.RemoveIsochTransfer(5);
}

TEST_F(RunningTransfer, AnAbruptStopClosesTheHandleWithoutStopRequest) {
    ASSERT_NE(StartRunning(), nullptr);
    EXPECT_EQ(m_comm.StopIsochTransfer(5, false), 5);
    EXPECT_TRUE(m_driver.RequestsWithCode(kIoctlStop).empty());
    EXPECT_TRUE(WaitUntil([&] { return m_driver.PendingCount(kIoctlAttachBuffers) == 0; }));
    m_comm.RemoveIsochTransfer(5);
}

TEST_F(RunningTransfer, ACompletedTransferCopiesOutAndIsNotStoppedAgain) {
    CIsochTransferThread* thread = StartRunning();
    ASSERT_NE(thread, nullptr);
    m_driver.CompletePending(kIoctlAttachBuffers, 0, [](std::vector<std::uint8_t> bytes) {
        std::fill(bytes.begin() + 64, bytes.end(), 0x5A);
        return bytes;
    });
    ASSERT_TRUE(WaitUntil([&] { return thread->m_nState == CIsochTransferThread::kStateDone; }));
    EXPECT_EQ(m_comm.StopIsochTransfer(5, true), 2);
    EXPECT_EQ(thread->m_nState, CIsochTransferThread::kStateDone);
    EXPECT_EQ(m_driver.RequestsWithCode(kIoctlDetachBuffers).size(), 1u);
    m_comm.RemoveIsochTransfer(5);
}

TEST_F(IsochTransfer, AnArmedThreadStopsWithoutAttachAndEndsOnRemoval) {
    ASSERT_TRUE(Start(6, true));
    CIsochTransferThread* thread = m_comm.FindIsochThread(6);
    ASSERT_TRUE(WaitUntil([&] { return thread->m_nState == CIsochTransferThread::kStateArmed; }));
    EXPECT_EQ(m_comm.StopIsochTransfer(6, true), 0);  // no attach yet: nothing to stop
    m_comm.RemoveIsochTransfer(6);                    // must not hang on the armed wait
    EXPECT_EQ(m_comm.FindIsochThread(6), nullptr);
    EXPECT_TRUE(m_driver.RequestsWithCode(kIoctlAttachBuffers).empty());
}

TEST_F(IsochTransfer, AnAttachRecordThatCannotBeAllocatedFailsTheTransfer) {
    ASSERT_TRUE(Start(7, true, 4, 0x7FFFFFFF));
    CIsochTransferThread* thread = m_comm.FindIsochThread(7);
    ASSERT_TRUE(WaitUntil([&] { return thread->m_nState == CIsochTransferThread::kStateArmed; }));
    thread->SignalStart();
    ASSERT_TRUE(WaitUntil([&] { return thread->m_nState == CIsochTransferThread::kStateFailed; }));
    m_comm.RemoveIsochTransfer(7);
    EXPECT_EQ(m_driver.RequestsWithCode(kIoctlFreeResources).size(), 1u);
}

TEST_F(RunningTransfer, ClosingEndsRunningTransfers) {
    ASSERT_NE(StartRunning(), nullptr);
    EXPECT_TRUE(m_comm.Close());
    EXPECT_EQ(m_comm.FindIsochThread(5), nullptr);
    EXPECT_TRUE(WaitUntil([&] { return m_driver.PendingCount(kIoctlAttachBuffers) == 0; }));
}

}  // namespace
