// The bridge's bus over a fake kernel: units from the configuration ROM, register transactions
// and their retries, bus resets, unplugging, and isochronous reception.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "FwHarness.h"
#include "driver/ResourceManager.h"
#include "platform/SharedBuffer.h"

namespace fwtest {
namespace {

using namespace simbustest;
using platform::kErrorBusy;
using platform::kErrorDeviceNotConnected;
using platform::kErrorIoPending;
using platform::kErrorSuccess;

constexpr std::uint32_t kPacket = 64;
constexpr std::uint32_t kFrame = kPacket * 8;
constexpr std::uint32_t kChannel = 3;

Bytes Frame(std::uint8_t seed) {
    Bytes frame(kFrame);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = std::uint8_t(seed + i * 7);
    return frame;
}

TEST(FwUnits, EveryCameraButTheLocalNodeIsPublished) {
    FwHarness fw(3);
    fw.kernel.Deny(0);  // as the controller's own node often is
    fw.kernel.Deny(3);
    fw.bus.Scan();
    EXPECT_EQ(fw.units, (std::set<simbus::UnitId>{0, 1}));
    EXPECT_TRUE(fw.told.empty());
}

TEST(FwUnits, WithNoCameraInReachEachDeniedFileIsToldOnceWithTheFix) {
    FwHarness fw(1);
    fw.kernel.Deny(1);
    fw.bus.Scan();
    fw.bus.Scan();
    EXPECT_TRUE(fw.units.empty());
    ASSERT_EQ(fw.told.size(), 1u);
    EXPECT_NE(fw.told[0].find("/fake/dev/fw1"), std::string::npos);
    EXPECT_NE(fw.told[0].find("group video"), std::string::npos);
}

TEST(FwRegisters, WritesAndReadsGoThroughTransactionsOnTheUnitsNode) {
    FwHarness fw(2);
    fw.bus.Scan();
    const simbus::ClientId client = fw.bus.Connect(1);
    const std::uint64_t base = fw.CommandBase(client);
    ASSERT_NE(base, 0u);
    EXPECT_EQ(fw.Node(client), fw.kernel.NodeId(2));
    ASSERT_EQ(fw.Call(client, simbus::kIoctlAsyncWrite,
                      AsyncWrite(fw.Node(client), base + kIsoChannelSpeed, {0x5200'0000})),
              kErrorSuccess);
    std::uint32_t value = 0;
    ASSERT_EQ(fw.ReadQuadlet(client, base + kIsoChannelSpeed, value), kErrorSuccess);
    EXPECT_EQ(value, 0x5200'0000u);
}

TEST(FwRegisters, ABroadcastReachesEveryCameraAndIsDoneOnceSent) {
    FwHarness fw(2);
    fw.bus.Scan();
    const simbus::ClientId first = fw.bus.Connect(0);
    const simbus::ClientId second = fw.bus.Connect(1);
    const std::uint64_t base = fw.CommandBase(first);
    const int transactions = fw.kernel.Transactions();
    ASSERT_EQ(fw.Call(first, simbus::kIoctlAsyncBroadcastWrite,
                      AsyncWrite(0xFFFF, base + kIsoChannelSpeed, {0x5200'0000})),
              kErrorSuccess);
    EXPECT_EQ(fw.kernel.Broadcasts(), 1);
    EXPECT_EQ(fw.kernel.Transactions(), transactions) << "no transaction waits for an answer";
    for (const simbus::ClientId client : {first, second}) {
        std::uint32_t value = 0;
        ASSERT_EQ(fw.ReadQuadlet(client, base + kIsoChannelSpeed, value), kErrorSuccess);
        EXPECT_EQ(value, 0x5200'0000u);
    }
    // Only node 63 is a broadcast, and the kernel sends none below the units space.
    EXPECT_EQ(fw.Call(first, simbus::kIoctlAsyncBroadcastWrite,
                      AsyncWrite(fw.Node(second), base + kIsoChannelSpeed, {0})),
              platform::kErrorInvalidParameter);
    EXPECT_EQ(fw.Call(first, simbus::kIoctlAsyncBroadcastWrite,
                      AsyncWrite(0xFFFF, 0xFFFF'F000'0400, {0})),
              platform::kErrorInvalidParameter);
    EXPECT_EQ(fw.kernel.Broadcasts(), 1) << "neither went out";
}

TEST(FwRegisters, ARequestRacingAResetAndBusyAnswersAreSentAgainWithinBounds) {
    FwHarness fw(1);
    fw.bus.Scan();
    const simbus::ClientId client = fw.bus.Connect(0);
    const std::uint64_t base = fw.CommandBase(client);
    const std::uint16_t node = fw.Node(client);
    std::uint32_t value = 0;

    // Sent in the old generation before the bridge read the reset: answered, then sent again.
    fw.kernel.Reset();
    int before = fw.kernel.Transactions();
    const std::uint32_t id =
        fw.Send(client, simbus::kIoctlAsyncRead, AsyncRecord(node, base + kCurMode, 4));
    fw.Pump();
    const auto answer = fw.Take(client, id);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, kErrorSuccess);
    EXPECT_EQ(fw.kernel.Transactions() - before, 2);

    fw.kernel.SetBusy(fw::FwBus::kMaxBusyRetries);
    EXPECT_EQ(fw.ReadQuadlet(client, base + kCurMode, value), kErrorSuccess);
    fw.kernel.SetBusy(100);
    before = fw.kernel.Transactions();
    EXPECT_EQ(fw.ReadQuadlet(client, base + kCurMode, value), kErrorBusy);
    EXPECT_EQ(fw.kernel.Transactions() - before, fw::FwBus::kMaxBusyRetries + 1);
}

TEST(FwBusReset, AResetWaitCompletesOnceWithTheNewNodeNumbersInPlace) {
    FwHarness fw(2);
    fw.bus.Scan();
    const simbus::ClientId client = fw.bus.Connect(0);
    const std::uint16_t before = fw.Node(client);
    const std::uint32_t wait = fw.Send(client, simbus::kIoctlBusResetWait, {});
    fw.kernel.Reset(true);
    fw.Pump();
    const auto answer = fw.Take(client, wait);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, kErrorSuccess);
    EXPECT_NE(fw.Node(client), before);
    EXPECT_EQ(fw.Node(client), fw.kernel.NodeId(1));
    // Both cameras' files report the one reset: a new wait waits for the next.
    const std::uint32_t next = fw.Send(client, simbus::kIoctlBusResetWait, {});
    fw.Pump();
    EXPECT_FALSE(fw.Take(client, next));
    fw.bus.Cancel(client, next);
    // A reset that comes while the client has no wait pending is not lost.
    fw.kernel.Reset();
    fw.Pump();
    EXPECT_EQ(fw.Call(client, simbus::kIoctlBusResetWait, {}), kErrorSuccess);
}

// A listening resource on kChannel with its bandwidth, channel and buffers, as a capture sets
// it up; memoryFd shares the client's memory, and then the record may leave its data areas out.
struct Capture {
    Capture(FwHarness& harness, simbus::ClientId id, std::uint32_t flags, int memoryFd = -1,
            bool dataAreas = true)
        : fw(harness), client(id) {
        Bytes out;
        EXPECT_EQ(fw.Call(client, simbus::kIoctlAllocateChannel, Words({kChannel, 0, 0, 0})),
                  kErrorSuccess);
        EXPECT_EQ(fw.Call(client, simbus::kIoctlAllocateBandwidth,
                          Words({kPacket, simbus::kSpeed400, 0, 0, 0}), &out),
                  kErrorSuccess);
        EXPECT_EQ(fw.Call(client, simbus::kIoctlAllocateResources,
                          Resources(flags, kChannel, kPacket, 2, kFrame), &out),
                  kErrorSuccess);
        handle = Word(out, 28);
        const Descriptor d{simbus::kDescriptorSync, kFrame, kPacket, 1, 0};
        attach = fw.Send(client, simbus::kIoctlAttachBuffers, Attach(handle, {d, d}, {}, dataAreas),
                         std::nullopt, memoryFd);
        EXPECT_EQ(fw.Call(client, simbus::kIoctlListen, Words({handle, 0, 0})), kErrorSuccess);
    }
    // The next frame a read delivers, from the answer or the shared memory.
    std::optional<Bytes> Read(const Bytes& send, const platform::SharedBuffer* memory = nullptr) {
        const std::uint32_t id =
            fw.Send(client, simbus::kIoctlIsochRead, IsochRead(handle, kFrame));
        fw.kernel.SendFrame(kChannel, send, kPacket);
        fw.Pump();
        const auto answer = fw.Take(client, id);
        if (!answer || answer->status != kErrorSuccess) return std::nullopt;
        const Bytes payload = BusHarness::Payload(*answer);
        if (Word(payload, 4) != kFrame) return std::nullopt;
        cycleTime = Word(payload, 8);
        if (memory == nullptr) return Bytes(payload.begin() + 16, payload.end());
        const auto at = memory->Bytes().subspan(Word(payload, 12), kFrame);
        return Bytes(at.begin(), at.end());
    }
    FwHarness& fw;
    simbus::ClientId client;
    std::uint32_t handle = 0;
    std::uint32_t attach = 0;     // the request that pends while the buffers fill
    std::uint32_t cycleTime = 0;  // the last frame's, as the read answered it
};

TEST(FwUnplug, AnUnpluggedCameraIsWithdrawnAndItsClientsAnsweredNotConnected) {
    FwHarness fw(2);
    fw.bus.Scan();
    const simbus::ClientId client = fw.bus.Connect(1);
    const simbus::ClientId other = fw.bus.Connect(0);
    const std::uint64_t base = fw.CommandBase(other);
    const Capture capture(fw, client, simbus::kResourceListen | simbus::kResourceStripHeader);
    fw.kernel.Unplug(2);
    fw.Pump();
    fw.bus.Scan();
    EXPECT_EQ(fw.units, (std::set<simbus::UnitId>{0}));
    const auto answer = fw.Take(client, capture.attach);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, kErrorDeviceNotConnected);
    EXPECT_EQ(fw.kernel.Contexts(), 0u);
    EXPECT_EQ(fw.Call(client, simbus::kIoctlNodeAddress, Words({0, 0})), kErrorDeviceNotConnected);
    std::uint32_t value = 0;
    EXPECT_EQ(fw.ReadQuadlet(other, base + kCurMode, value), kErrorSuccess);
}

TEST(FwIsoch, WholeFramesArriveRoundTheKernelsRingAndBrokenOnesNever) {
    FwHarness fw(1);
    fw.bus.Scan();
    const simbus::ClientId client = fw.bus.Connect(0);
    Capture capture(
        fw, client,
        simbus::kResourceListen | simbus::kResourceStripHeader | simbus::kResourceCircular);
    EXPECT_EQ(fw.kernel.Contexts(), 1u);
    // More frames than the kernel's ring holds: it is queued again as it drains.
    for (std::uint8_t i = 0; i < 20; ++i) EXPECT_EQ(capture.Read(Frame(i)), Frame(i)) << int(i);

    // A short packet inside a frame, and a lost one: neither frame reaches the client.
    const std::uint32_t id =
        fw.Send(client, simbus::kIoctlIsochRead, IsochRead(capture.handle, kFrame));
    fw.kernel.SendFrame(kChannel, Frame(100), kPacket, -1, 2);
    fw.kernel.SendFrame(kChannel, Frame(101), kPacket, 5);
    fw.Pump();
    EXPECT_FALSE(fw.Take(client, id));
    // The kernel waits for a frame start again; the frame after that arrives whole.
    fw.kernel.SendFrame(kChannel, Frame(102), kPacket);
    fw.kernel.SendFrame(kChannel, Frame(103), kPacket);
    fw.Pump();
    const auto answer = fw.Take(client, id);
    ASSERT_TRUE(answer);
    const Bytes payload = BusHarness::Payload(*answer);
    const Bytes frame(payload.begin() + 16, payload.end());
    EXPECT_TRUE(frame == Frame(102) || frame == Frame(103));
}

TEST(FwIsoch, FramesCarryTheirFirstPacketsCycleAcrossTheStampsWrap) {
    FwHarness fw(1);
    fw.bus.Scan();
    const simbus::ClientId client = fw.bus.Connect(0);
    Capture capture(
        fw, client,
        simbus::kResourceListen | simbus::kResourceStripHeader | simbus::kResourceCircular);
    // The kernel's 16-bit stamps wrap after 8 s, inside the second frame.
    fw.kernel.SetCycle(8 * 8000 - 12);
    std::vector<std::uint32_t> cycles;
    for (std::uint8_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(capture.Read(Frame(i)));
        cycles.push_back((capture.cycleTime >> 25) * 8000 + (capture.cycleTime >> 12 & 0x1FFF));
    }
    const std::uint32_t packets = kFrame / kPacket;
    EXPECT_EQ(cycles[0], 8 * 8000 - 12);
    EXPECT_EQ(cycles[1] - cycles[0], packets);
    EXPECT_EQ(cycles[2] - cycles[1], packets);
}

TEST(FwIsoch, SharedMemoryReceivesTheFrameInPlace) {
    FwHarness fw(1);
    fw.bus.Scan();
    simbus::ClientId client = fw.bus.Connect(0);
    for (const bool dataAreas : {true, false}) {
        const auto memory = platform::SharedBuffer::Create(4 * kFrame);
        ASSERT_TRUE(memory);
        Capture capture(fw, client, simbus::kResourceListen | simbus::kResourceStripHeader,
                        memory->Fd(), dataAreas);
        EXPECT_EQ(capture.Read(Frame(9), memory.get()), Frame(9)) << dataAreas;
        fw.bus.Disconnect(client);
        client = fw.bus.Connect(0);
    }
}

TEST(FwIsoch, RefusedBandwidthIsBusyAndAClientsEndGivesEverythingBack) {
    FwHarness fw(1);
    fw.bus.Scan();
    simbus::ClientId client = fw.bus.Connect(0);
    // Two of these are more than a cycle holds.
    const Bytes most = Words({1024, simbus::kSpeed100, 0, 0, 0});
    EXPECT_EQ(fw.Call(client, simbus::kIoctlAllocateBandwidth, most), kErrorSuccess);
    Bytes refusal;
    EXPECT_EQ(fw.Call(client, simbus::kIoctlAllocateBandwidth, most, &refusal), kErrorBusy);
    // What the stream needs; the kernel does not say what the bus has left.
    EXPECT_EQ(Word(refusal, 12), simbus::ResourceManager::BandwidthUnits(1024, simbus::kSpeed100));
    EXPECT_EQ(Word(refusal, 16), 0xFFFFFFFFu);
    fw.bus.Disconnect(client);
    EXPECT_EQ(fw.kernel.BandwidthUsed(), 0u);
    client = fw.bus.Connect(0);
    { Capture capture(fw, client, simbus::kResourceListen | simbus::kResourceStripHeader); }
    EXPECT_GT(fw.kernel.BandwidthUsed(), 0u);
    EXPECT_EQ(fw.kernel.Contexts(), 1u);
    fw.bus.Disconnect(client);
    EXPECT_EQ(fw.kernel.BandwidthUsed(), 0u);
    EXPECT_EQ(fw.kernel.Contexts(), 0u);
    EXPECT_EQ(fw.kernel.OpenFiles(), 1u);  // the camera's node file
}

}  // namespace
}  // namespace fwtest
