// The bridge's bus over the fake kernel's bus in process: units from the configuration ROM,
// register transactions and their retries, bus resets, unplugging, and isochronous reception of
// the simulated camera's frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "ExpectedFrame.h"
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

// The frames FwHarness::StartCamera sets the camera sending.
constexpr std::uint32_t kPacket = 240;
constexpr std::uint32_t kFrame = kPacket * 240;
constexpr std::uint32_t kChannel = 3;
constexpr unsigned long kBusBandwidth = 4915;  // units a cycle holds

std::uint32_t CounterOf(const Bytes& frame) { return platform::LoadBE32(frame.data()); }
// Whether frame is the camera's picture, whole.
bool IsCameraFrame(const std::optional<Bytes>& frame) {
    return frame && frame->size() == kFrame &&
           *frame == ExpectedFrame(0, 4, CounterOf(*frame), kFrame);
}

TEST(FwUnits, EveryCameraButTheLocalNodeIsPublished) {
    FwHarness fw(3);
    ASSERT_TRUE(fw.Control("deny 0"));  // as the controller's own node often is
    ASSERT_TRUE(fw.Control("deny 3"));
    fw.bus.Scan();
    EXPECT_EQ(fw.units, (std::set<simbus::UnitId>{0, 1}));
    EXPECT_TRUE(fw.told.empty());
}

TEST(FwUnits, WithNoCameraInReachEachDeniedFileIsToldOnceWithTheFix) {
    FwHarness fw(1);
    ASSERT_TRUE(fw.Control("deny 1"));
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
    EXPECT_EQ(fw.Node(client), 0xFFC1) << "the fake numbers the cameras from 0";
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
    const unsigned long requests = fw.Status("requests");
    // Done at once: no response event comes for a broadcast.
    ASSERT_EQ(fw.Call(first, simbus::kIoctlAsyncBroadcastWrite,
                      AsyncWrite(0xFFFF, base + kIsoChannelSpeed, {0x5200'0000})),
              kErrorSuccess);
    EXPECT_EQ(fw.Status("requests"), requests + 1);
    for (const simbus::ClientId client : {first, second}) {
        std::uint32_t value = 0;
        ASSERT_EQ(fw.ReadQuadlet(client, base + kIsoChannelSpeed, value), kErrorSuccess);
        EXPECT_EQ(value, 0x5200'0000u);
    }
    const unsigned long sent = fw.Status("requests");
    // Only node 63 is a broadcast, and the kernel sends none below the units space.
    EXPECT_EQ(fw.Call(first, simbus::kIoctlAsyncBroadcastWrite,
                      AsyncWrite(fw.Node(second), base + kIsoChannelSpeed, {0})),
              platform::kErrorInvalidParameter);
    EXPECT_EQ(fw.Call(first, simbus::kIoctlAsyncBroadcastWrite,
                      AsyncWrite(0xFFFF, 0xFFFF'F000'0400, {0})),
              platform::kErrorInvalidParameter);
    EXPECT_EQ(fw.Status("requests"), sent) << "neither went out";
}

TEST(FwRegisters, ARequestRacingAResetAndBusyAnswersAreSentAgainWithinBounds) {
    FwHarness fw(1);
    fw.bus.Scan();
    const simbus::ClientId client = fw.bus.Connect(0);
    const std::uint64_t base = fw.CommandBase(client);
    const std::uint16_t node = fw.Node(client);
    std::uint32_t value = 0;

    // Sent in the old generation before the bridge read the reset: answered, then sent again.
    ASSERT_TRUE(fw.Control("reset"));
    unsigned long before = fw.Status("requests");
    const std::uint32_t id =
        fw.Send(client, simbus::kIoctlAsyncRead, AsyncRecord(node, base + kCurMode, 4));
    fw.Pump();
    const auto answer = fw.Take(client, id);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, kErrorSuccess);
    EXPECT_EQ(fw.Status("requests") - before, 2u);

    ASSERT_TRUE(fw.Control("busy " + std::to_string(fw::FwBus::kMaxBusyRetries)));
    EXPECT_EQ(fw.ReadQuadlet(client, base + kCurMode, value), kErrorSuccess);
    ASSERT_TRUE(fw.Control("busy 100"));
    before = fw.Status("requests");
    EXPECT_EQ(fw.ReadQuadlet(client, base + kCurMode, value), kErrorBusy);
    EXPECT_EQ(fw.Status("requests") - before, fw::FwBus::kMaxBusyRetries + 1u);
}

TEST(FwBusReset, AResetWaitCompletesOnceWithTheNewNodeNumbersInPlace) {
    FwHarness fw(3);
    fw.bus.Scan();
    const simbus::ClientId client = fw.bus.Connect(1);
    EXPECT_EQ(fw.Node(client), 0xFFC1);
    const std::uint32_t wait = fw.Send(client, simbus::kIoctlBusResetWait, {});
    // The first camera leaves: the others move down a node number.
    ASSERT_TRUE(fw.Control("unplug 1"));
    fw.Pump();
    const auto answer = fw.Take(client, wait);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, kErrorSuccess);
    EXPECT_EQ(fw.Node(client), 0xFFC0);
    // Both remaining cameras' files report the one reset: a new wait waits for the next.
    const std::uint32_t next = fw.Send(client, simbus::kIoctlBusResetWait, {});
    fw.Pump();
    EXPECT_FALSE(fw.Take(client, next));
    fw.bus.Cancel(client, next);
    // A reset that comes while the client has no wait pending is not lost.
    ASSERT_TRUE(fw.Control("reset"));
    fw.Pump();
    EXPECT_EQ(fw.Call(client, simbus::kIoctlBusResetWait, {}), kErrorSuccess);
}

// A listening resource on kChannel with its bandwidth, channel and buffers, as a capture sets
// it up, and the camera sending; memoryFd shares the client's memory, and then the record may
// leave its data areas out.
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
        EXPECT_TRUE(fw.StartCamera(client, kChannel));
    }
    // The frame a read delivers once the camera sent one, from the answer or the shared memory.
    std::optional<Bytes> Read(const platform::SharedBuffer* memory = nullptr) {
        const std::uint32_t id =
            fw.Send(client, simbus::kIoctlIsochRead, IsochRead(handle, kFrame));
        fw.kernel.Bus().SendFrames(1);
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
    ASSERT_TRUE(fw.Control("unplug 2"));
    fw.Pump();
    fw.bus.Scan();
    EXPECT_EQ(fw.units, (std::set<simbus::UnitId>{0}));
    const auto answer = fw.Take(client, capture.attach);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, kErrorDeviceNotConnected);
    EXPECT_EQ(fw.Status("contexts"), 0u);
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
    EXPECT_EQ(fw.Status("contexts"), 1u);
    // More frames than the kernel's ring holds: it is queued again as it drains.
    std::uint32_t counter = 0;
    for (int i = 0; i < 20; ++i) {
        const auto frame = capture.Read();
        ASSERT_TRUE(IsCameraFrame(frame)) << i;
        if (i > 0) {
            EXPECT_EQ(CounterOf(*frame), counter + 1);
        }
        counter = CounterOf(*frame);
    }

    // A short packet inside a frame, and a lost one: neither frame reaches the client.
    const std::uint32_t id =
        fw.Send(client, simbus::kIoctlIsochRead, IsochRead(capture.handle, kFrame));
    ASSERT_TRUE(fw.Control("pass-packets 2") && fw.Control("short-packets 1"));
    fw.kernel.Bus().SendFrames(1);
    ASSERT_TRUE(fw.Control("pass-packets 5") && fw.Control("lose-packets 1"));
    fw.kernel.Bus().SendFrames(1);
    fw.Pump();
    EXPECT_FALSE(fw.Take(client, id));
    // The kernel waits for a frame start again; a frame after that arrives whole.
    fw.kernel.Bus().SendFrames(2);
    fw.Pump();
    const auto answer = fw.Take(client, id);
    ASSERT_TRUE(answer);
    const Bytes payload = BusHarness::Payload(*answer);
    const Bytes frame(payload.begin() + 16, payload.end());
    EXPECT_TRUE(IsCameraFrame(frame));
    EXPECT_GT(CounterOf(frame), counter + 2);
}

TEST(FwIsoch, FramesCarryTheirFirstPacketsCycleAcrossTheStampsWrap) {
    FwHarness fw(1);
    fw.bus.Scan();
    const simbus::ClientId client = fw.bus.Connect(0);
    Capture capture(
        fw, client,
        simbus::kResourceListen | simbus::kResourceStripHeader | simbus::kResourceCircular);
    // The kernel's 16-bit stamps wrap after 8 s, inside the first frame.
    fw.kernel.Bus().SetCycle(8 * 8000 - 12);
    std::vector<std::uint32_t> cycles;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(capture.Read());
        cycles.push_back((capture.cycleTime >> 25) * 8000 + (capture.cycleTime >> 12 & 0x1FFF));
    }
    EXPECT_EQ(cycles[0], 8 * 8000 - 12);
    // A frame period at 30 fps, on whole cycles.
    EXPECT_NEAR(cycles[1] - cycles[0], 8000.0 / 30, 1);
    EXPECT_NEAR(cycles[2] - cycles[1], 8000.0 / 30, 1);
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
        EXPECT_TRUE(IsCameraFrame(capture.Read(memory.get()))) << dataAreas;
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
    EXPECT_EQ(fw.Status("bandwidth"), kBusBandwidth);
    client = fw.bus.Connect(0);
    { Capture capture(fw, client, simbus::kResourceListen | simbus::kResourceStripHeader); }
    EXPECT_LT(fw.Status("bandwidth"), kBusBandwidth);
    EXPECT_EQ(fw.Status("contexts"), 1u);
    fw.bus.Disconnect(client);
    EXPECT_EQ(fw.Status("bandwidth"), kBusBandwidth);
    EXPECT_EQ(fw.Status("contexts"), 0u);
    EXPECT_EQ(fw.Status("files"), 1u);  // the camera's node file
}

}  // namespace
}  // namespace fwtest
