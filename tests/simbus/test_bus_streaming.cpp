// Isochronous streaming on a manual cycle clock: pacing, the counter stamp, how buffers take
// packets (SY sync, header quadlets, packet slots, spill), frames lost when nobody reads, shots,
// the physical limits, stop, and talking.
#include <gtest/gtest.h>

#include "tests/simbus/BusRecords.h"

namespace {

using namespace simbustest;
using namespace platform;
using simbus::ClientId;

constexpr std::uint32_t kChannel = 3;
constexpr std::uint32_t kSync = simbus::kDescriptorSync;
// Frame 1 starts at cycle 533 (15 fps is 533 1/3 cycles); a frame's 480 packets take 480 cycles.
constexpr std::uint64_t kFrame0Done = kVgaPackets;
constexpr std::uint64_t kFrame1Done = 533 + kVgaPackets;
// One buffer for each whole frame, starting at its SY packet.
const std::vector<Descriptor> kOneFrame = {{kSync, kVgaFrameBytes, 0, 1, 0}};

std::uint32_t Counter(const Bytes& read) { return platform::LoadBE32(&read[16]); }

class BusStreaming : public ::testing::Test {
protected:
    void SetUp() override {
        h.bus.AddCamera();
        client = h.bus.Connect(0);
        Bytes header, full;
        h.Call(client, simbus::kIoctlConfigInfo, Bytes(68), &header);
        Bytes second(68);
        std::copy_n(header.begin() + 24, 44, second.begin() + 24);
        h.Call(client, simbus::kIoctlConfigInfo, second, &full, 1024);
        base = kCsrBase +
               std::uint64_t(platform::LoadBE32(&full[68 + Word(header, 24)]) & 0xFF'FFFF) * 4;
    }

    void Write(std::uint32_t offset, std::uint32_t value) {
        ASSERT_EQ(h.Call(client, simbus::kIoctlAsyncWrite,
                         AsyncWrite(NodeAddress(0), base + offset, {value})),
                  kErrorSuccess);
    }

    // 640 x 480 YUV 4:2:2 (format 0 mode 3) at a rate, on kChannel at a speed (0 S100 .. 2 S400).
    void Program(std::uint32_t rate = 3, std::uint32_t speed = 2) {
        Write(kCurFormat, 0);
        Write(kCurMode, 3u << 29);
        Write(kCurFrameRate, rate << 29);
        Write(kIsoChannelSpeed, kChannel << 28 | speed << 24);
    }

    void Start(std::uint32_t rate = 3, std::uint32_t speed = 2) {
        Program(rate, speed);
        Write(kIsoEnable, 0x8000'0000);
    }

    std::uint32_t Listener(std::uint32_t flags, const std::vector<Descriptor>& descriptors,
                           std::uint32_t channel = kChannel,
                           std::uint32_t bytesPerPacket = kVgaPacketBytes) {
        std::uint32_t largest = 0;
        for (const Descriptor& d : descriptors) largest = std::max(largest, d.length);
        Bytes out;
        EXPECT_EQ(h.Call(client, simbus::kIoctlAllocateResources,
                         Resources(flags, channel, bytesPerPacket,
                                   std::uint32_t(descriptors.size()), largest),
                         &out),
                  kErrorSuccess);
        const std::uint32_t handle = Word(out, 28);
        attach = h.Send(client, simbus::kIoctlAttachBuffers, Attach(handle, descriptors));
        EXPECT_EQ(h.Call(client, simbus::kIoctlListen, Words({handle, 0, 0})), kErrorSuccess);
        return handle;
    }

    std::uint32_t Read(std::uint32_t handle, std::uint32_t bytes = kVgaFrameBytes) {
        return h.Send(client, simbus::kIoctlIsochRead, IsochRead(handle, bytes));
    }

    Bytes Answer(std::uint32_t id) {
        const auto answer = h.Take(client, id);
        if (!answer) return {};
        EXPECT_EQ(answer->status, kErrorSuccess);
        return BusHarness::Payload(*answer);
    }

    BusHarness h;
    ClientId client = 0;
    std::uint64_t base = 0;
    std::uint32_t attach = 0;
};

TEST_F(BusStreaming, FramesArriveWholeWhenTheirLastPacketIsDue) {
    const std::uint32_t handle = Listener(0x0D, kOneFrame);
    Start();
    std::uint32_t read = Read(handle);
    h.AdvanceTo(kFrame0Done - 1);
    EXPECT_TRUE(Answer(read).empty());
    h.AdvanceTo(kFrame0Done);
    Bytes frame = Answer(read);
    ASSERT_EQ(frame.size(), 16u + kVgaFrameBytes);
    EXPECT_EQ(Word(frame, 0), handle);
    EXPECT_EQ(Word(frame, 4), kVgaFrameBytes);
    EXPECT_EQ(Counter(frame), 0u);

    read = Read(handle);
    h.AdvanceTo(kFrame1Done - 1);
    EXPECT_TRUE(Answer(read).empty());
    h.AdvanceTo(kFrame1Done);
    EXPECT_EQ(Counter(Answer(read)), 1u);
    // The whole of a 1.875 .. 15 fps pace never drifts: frame 3 starts at cycle 1600 exactly.
    read = Read(handle);
    h.AdvanceTo(1600 + kVgaPackets - 1);
    Answer(Read(handle));
    h.AdvanceTo(1600 + kVgaPackets);
    EXPECT_EQ(Counter(Answer(read)), 2u);
}

TEST_F(BusStreaming, AnAnswerOnItsWayOutIsNeverOverwritten) {
    const std::uint32_t handle = Listener(0x0D, kOneFrame);
    Start();
    const std::uint32_t read = Read(handle);
    h.AdvanceTo(kFrame0Done);
    const auto held = h.Take(client, read);  // as a connection holds it while the socket is full
    ASSERT_TRUE(held && held->body);
    const std::uint32_t next = Read(handle);
    h.AdvanceTo(kFrame1Done);
    EXPECT_EQ(Counter(Answer(next)), 1u);
    EXPECT_EQ(platform::LoadBE32(held->body->data()), 0u);
}

TEST_F(BusStreaming, FramesNobodyReadsInTimeAreLost) {
    const std::uint32_t handle = Listener(0x0D, kOneFrame);
    Start();
    for (std::uint64_t cycle = 0; cycle <= 1600; cycle += 100) h.AdvanceTo(cycle);
    // One buffer holds only the newest frame.
    EXPECT_EQ(Counter(Answer(Read(handle))), 2u);
    EXPECT_NE(h.bus.Status().find("lost 2"), std::string::npos) << h.bus.Status();
}

TEST_F(BusStreaming, HeaderQuadletsStayUnlessStripped) {
    const std::uint32_t handle = Listener(0x05, kOneFrame);
    Start();
    const std::uint32_t read = Read(handle);
    h.AdvanceTo(kFrame0Done);
    const Bytes frame = Answer(read);
    ASSERT_EQ(frame.size(), 16u + kVgaFrameBytes);
    const std::uint32_t first = kVgaPacketBytes << 16 | 1u << 14 | kChannel << 8 | 0xA0 | 1;
    EXPECT_EQ(Word(frame, 16), first);
    EXPECT_EQ(platform::LoadBE32(&frame[20]), 0u);  // the counter follows the header
    EXPECT_EQ(Word(frame, 16 + 4 + kVgaPacketBytes), first & ~15u);  // later packets: SY 0
}

TEST_F(BusStreaming, PacketBasedBuffersGiveEachPacketItsSlot) {
    const std::uint32_t slot = 4 + kVgaPacketBytes;
    const std::uint32_t handle = Listener(0x45, {{kSync, kVgaPackets * slot, 0, 1, 0}});
    Start();
    const std::uint32_t read =
        h.Send(client, simbus::kIoctlIsochRead, IsochRead(handle, kVgaPackets * slot));
    h.AdvanceTo(kFrame0Done);
    const Bytes frame = Answer(read);
    ASSERT_EQ(frame.size(), 16u + kVgaPackets * slot);
    for (std::uint32_t packet = 0; packet < kVgaPackets; packet += 97) {
        EXPECT_EQ(Word(frame, 16 + packet * slot) >> 16, kVgaPacketBytes) << packet;
    }
}

TEST_F(BusStreaming, UnsynchronisedBuffersCutTheStreamAnywhere) {
    const std::uint32_t whole = Listener(0x0D, kOneFrame);
    const std::uint32_t pieces = Listener(0x0D, {{0, 1000, 0, 0, 0}, {0, 1000, 0, 0, 0}});
    Start();
    const std::uint32_t readWhole = Read(whole);
    const std::uint32_t first = Read(pieces, 1000);
    const std::uint32_t second = Read(pieces, 1000);
    h.AdvanceTo(kFrame0Done);
    const Bytes frame = Answer(readWhole);
    const Bytes a = Answer(first), b = Answer(second);
    ASSERT_EQ(a.size(), 1016u);
    ASSERT_EQ(b.size(), 1016u);
    EXPECT_TRUE(std::equal(a.begin() + 16, a.end(), frame.begin() + 16));
    // The second buffer goes on where the first stopped, across a packet boundary.
    EXPECT_TRUE(std::equal(b.begin() + 16, b.end(), frame.begin() + 16 + 1000));
}

TEST_F(BusStreaming, ANonCircularAttachAnswersWithItsFilledBuffers) {
    Listener(0x09, {{kSync, kVgaFrameBytes, 0, 1, 0}, {kSync, kVgaFrameBytes, 0, 1, 0}});
    Start();
    h.AdvanceTo(kFrame0Done);
    EXPECT_TRUE(Answer(attach).empty());
    h.AdvanceTo(kFrame1Done);
    const Bytes record = Answer(attach);
    ASSERT_EQ(record.size(), 32u + 2 * (36 + kVgaFrameBytes));
    EXPECT_EQ(platform::LoadBE32(&record[32 + 32]), 0u);
    EXPECT_EQ(platform::LoadBE32(&record[32 + 36 + kVgaFrameBytes + 32]), 1u);
}

TEST_F(BusStreaming, MultiShotSendsExactlyItsCount) {
    const std::uint32_t handle = Listener(0x0D, kOneFrame);
    Program();
    Write(kShot, 0x4000'0003);
    std::vector<std::uint32_t> counters;
    for (std::uint64_t cycle = 0; cycle < 10 * 534; cycle += 100) {
        const std::uint32_t read = Read(handle);
        h.AdvanceTo(cycle);
        const Bytes frame = Answer(read);
        if (!frame.empty()) counters.push_back(Counter(frame));
        h.bus.Cancel(client, read);
    }
    EXPECT_EQ(counters, (std::vector<std::uint32_t>{0, 1, 2}));
    EXPECT_NE(h.bus.Status().find("idle, frames 3"), std::string::npos) << h.bus.Status();
}

TEST_F(BusStreaming, AModeTheSpeedCannotCarryIsNotSent) {
    Listener(0x0D, kOneFrame);
    Start(4, 0);  // 30 fps: 2560-byte packets, beyond S100
    h.AdvanceTo(8000);
    EXPECT_NE(h.bus.Status().find("not sending"), std::string::npos) << h.bus.Status();
}

TEST_F(BusStreaming, StopAnswersPendingReadsWithNothingDelivered) {
    const std::uint32_t handle = Listener(0x0D, kOneFrame);
    Start();
    const std::uint32_t read = Read(handle);
    ASSERT_EQ(h.Call(client, simbus::kIoctlStop, Words({handle, 0})), kErrorSuccess);
    const Bytes answer = Answer(read);
    ASSERT_EQ(answer.size(), 16u);
    EXPECT_LT(std::int32_t(Word(answer, 4)), 0);
    // Listening again picks the stream up at the next frame start.
    ASSERT_EQ(h.Call(client, simbus::kIoctlListen, Words({handle, 0, 0})), kErrorSuccess);
    const std::uint32_t next = Read(handle);
    h.AdvanceTo(kFrame0Done);
    EXPECT_EQ(Counter(Answer(next)), 0u);
}

// The camera goes on sending while nobody receives: after a stall its counter and its stamps
// have moved on by the frames whose time passed, and status counts them as lost on the bus.
TEST_F(BusStreaming, AStalledBusSkipsThePassedFramesInsteadOfFlooding) {
    const std::uint32_t handle = Listener(0x0D, kOneFrame);
    Start();
    h.AdvanceTo(8000 * 60);
    const auto next = h.bus.Advance();
    ASSERT_TRUE(next);
    EXPECT_GT(*next, 8000u * 60);
    const Bytes late = Answer(Read(handle));
    ASSERT_FALSE(late.empty());
    const std::uint32_t following = Read(handle);
    h.AdvanceTo(*next);
    const Bytes after = Answer(following);
    ASSERT_FALSE(after.empty());
    // Frames 1 .. 899 started in the 60 s stall at 15 fps and were never sent.
    EXPECT_EQ(Counter(after) - Counter(late), 900u);
    const auto cycle = [](const Bytes& read) {
        return (Word(read, 8) >> 25) * 8000 + (Word(read, 8) >> 12 & 0x1FFF);
    };
    EXPECT_EQ(cycle(late), 0u);
    EXPECT_EQ(cycle(after), 900u * 1600 / 3);
    EXPECT_NE(h.bus.Status().find("late restarts 1 (frames lost on the bus 899)"),
              std::string::npos)
        << h.bus.Status();
}

TEST_F(BusStreaming, LostFramesAreSkippedPeriodsOfTheirCameraOnly) {
    const std::uint32_t handle = Listener(0x0D, kOneFrame);
    Start();
    const std::uint32_t first = Read(handle);
    h.AdvanceTo(kFrame0Done);
    ASSERT_EQ(Counter(Answer(first)), 0u);
    std::string why;
    EXPECT_FALSE(h.bus.LoseFrames(1, 2, why)) << "there is no second camera";
    ASSERT_TRUE(h.bus.LoseFrames(0, 2, why));
    const std::uint32_t next = Read(handle);
    h.AdvanceTo(1600 + kVgaPackets);
    const Bytes after = Answer(next);
    ASSERT_FALSE(after.empty());
    // Frames 1 and 2 never left; frame 3 starts on time at cycle 1600.
    EXPECT_EQ(Counter(after), 3u);
    EXPECT_EQ(Word(after, 8) >> 12 & 0x1FFF, 1600u);
    EXPECT_NE(h.bus.Status().find("frames skipped 2"), std::string::npos) << h.bus.Status();
}

TEST_F(BusStreaming, ATalkedBufferReachesTheListenersOfItsChannel) {
    const std::uint32_t listener = Listener(0x0D, {{kSync, 2048, 0, 1, 0}}, 9, 512);
    Bytes out;
    ASSERT_EQ(
        h.Call(client, simbus::kIoctlAllocateResources, Resources(0x02, 9, 512, 1, 2048), &out),
        kErrorSuccess);
    const std::uint32_t talker = Word(out, 28);
    Bytes data(2048);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(i * 7);
    const std::uint32_t sent =
        h.Send(client, simbus::kIoctlAttachBuffers, Attach(talker, {{kSync, 2048, 0, 1, 0}}, data));
    ASSERT_EQ(h.Call(client, simbus::kIoctlTalk, Words({talker, 0, 0})), kErrorSuccess);
    const std::uint32_t read = Read(listener, 2048);
    h.AdvanceTo(3);
    EXPECT_TRUE(Answer(read).empty());
    h.AdvanceTo(4);  // four 512-byte packets
    const Bytes received = Answer(read);
    ASSERT_EQ(received.size(), 16u + 2048);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), received.begin() + 16));
    EXPECT_FALSE(Answer(sent).empty());
}

}  // namespace
