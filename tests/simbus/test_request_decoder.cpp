// Records with inconsistent sizes: exact boundaries of the decoder, and random malformed
// records fed through the whole bus, which must answer each request once, within the room the
// caller gave, and never read out of bounds (this suite runs under ASan and UBSan).
#include <gtest/gtest.h>

#include <random>

#include "driver/RequestDecoder.h"
#include "tests/simbus/BusRecords.h"

namespace {

using namespace simbustest;
using namespace platform;
using simbus::RequestDecoder;

TEST(RequestDecoder, AttachRecordsMustAddUp) {
    simbus::AttachRecord record;
    const Bytes good = Attach(7, {{9, 100, 0, 1, 0}, {0, 8, 0, 0, 0}});
    ASSERT_EQ(RequestDecoder::Attach(good, record), kErrorSuccess);
    ASSERT_EQ(record.descriptors.size(), 2u);
    EXPECT_EQ(record.descriptors[1].dataOffset, 32u + 136 + 32);

    const auto refused = [](Bytes bytes) {
        simbus::AttachRecord ignored;
        return RequestDecoder::Attach(bytes, ignored);
    };
    Bytes bad = good;
    platform::StoreLE32(&bad[8], std::uint32_t(good.size() + 4));  // total beyond what came
    EXPECT_EQ(refused(bad), kErrorInvalidParameter);
    bad = good;
    platform::StoreLE32(&bad[4], 3);  // a descriptor more than the record holds
    EXPECT_EQ(refused(bad), kErrorInvalidParameter);
    bad = good;
    platform::StoreLE32(&bad[4], 1);  // bytes left over
    EXPECT_EQ(refused(bad), kErrorInvalidParameter);
    bad = good;
    platform::StoreLE32(&bad[32 + 4], 0xFFFF'FFF0);  // a length that wraps
    EXPECT_EQ(refused(bad), kErrorInvalidParameter);
    bad = good;
    platform::StoreLE32(&bad[32], 0x0B);
    EXPECT_EQ(refused(bad), kErrorInvalidParameter);
    platform::StoreLE32(&bad[32], 0x8000'0009);  // the caller's marker bit is fine
    EXPECT_EQ(refused(bad), kErrorSuccess);
    EXPECT_EQ(refused(Bytes(31)), kErrorInvalidParameter);
    EXPECT_EQ(refused(Words({7, 0, 32}, 32)), kErrorInvalidParameter);
}

// Flagged as such, a record leaves every descriptor's data out; unflagged, it must carry them.
TEST(RequestDecoder, AttachRecordsWithoutDataAreasAddUpWithoutThem) {
    const std::vector<Descriptor> two = {{9, 100, 0, 1, 0}, {0, 8, 0, 0, 0}};
    const Bytes compact = Attach(7, two, {}, false);
    simbus::AttachRecord record;
    ASSERT_EQ(RequestDecoder::Attach(compact, record), kErrorSuccess);
    EXPECT_FALSE(record.dataAreas);
    ASSERT_EQ(record.descriptors.size(), 2u);
    EXPECT_EQ(record.descriptors[1].length, 8u);
    EXPECT_EQ(record.descriptors[1].dataOffset, 32u + 36 + 32);

    Bytes claimsData = compact;
    platform::StoreLE32(&claimsData[12], 0);
    EXPECT_EQ(RequestDecoder::Attach(claimsData, record), kErrorInvalidParameter);
    Bytes flaggedFull = Attach(7, two);
    platform::StoreLE32(&flaggedFull[12], simbus::kAttachNoDataAreas);
    EXPECT_EQ(RequestDecoder::Attach(flaggedFull, record), kErrorInvalidParameter);
}

TEST(RequestDecoder, ReadsNeedRoomForTheirAnswerButNotItsBytes) {
    simbus::IsochReadRecord read;
    const Bytes header = Words({5, 0, 1000, 0});
    EXPECT_EQ(RequestDecoder::IsochRead(header, 1016, read), kErrorSuccess);
    EXPECT_EQ(read.bytes, 1000u);
    EXPECT_EQ(RequestDecoder::IsochRead(header, 1015, read), kErrorInsufficientBuffer);
    EXPECT_EQ(RequestDecoder::IsochRead(Words({5, 0, 0, 0}), 16, read), kErrorInvalidParameter);

    simbus::AsyncRecord async;
    const Bytes record = AsyncRecord(NodeAddress(0), kCsrBase, 8);
    EXPECT_EQ(RequestDecoder::Async(record, 48, false, async), kErrorSuccess);
    EXPECT_EQ(async.offset, kCsrBase);
    EXPECT_FALSE(async.toUnit);
    // The word beside the node address: 1 sends to the connection's unit; other bits are refused.
    Bytes toUnit = record;
    for (const std::uint16_t flags : {1, 2, 3}) {
        platform::StoreLE16(&toUnit[10], flags);
        EXPECT_EQ(RequestDecoder::Async(toUnit, 48, false, async),
                  flags == 1 ? kErrorSuccess : kErrorInvalidParameter);
    }
    EXPECT_TRUE(async.toUnit);
    EXPECT_EQ(RequestDecoder::Async(record, 47, false, async), kErrorInsufficientBuffer);
    EXPECT_EQ(RequestDecoder::Async(std::span(record).first(43), 48, true, async),
              kErrorInvalidParameter);
    EXPECT_EQ(RequestDecoder::Async(std::span(record).first(44), 0, true, async), kErrorSuccess);
}

// One valid record of each code, to be damaged at random.
std::vector<std::pair<std::uint32_t, Bytes>> Seeds(std::uint32_t resource) {
    return {
        {simbus::kIoctlAsyncRead,
         AsyncRecord(NodeAddress(0), kCsrBase + 0xF0F0'0600 - 0xF000'0000, 16)},
        {simbus::kIoctlAsyncWrite, AsyncWrite(NodeAddress(0), kCsrBase + 0x400, {1, 2})},
        {simbus::kIoctlNodeAddress, Words({1, 0})},
        {simbus::kIoctlMaxSpeed, Bytes(268)},
        {simbus::kIoctlConfigInfo, Bytes(68)},
        {simbus::kIoctlHostInfo, Words({0, 2, 28}, 28)},
        {simbus::kIoctlAllocateBandwidth, Words({512, 4, 0, 0, 0})},
        {simbus::kIoctlAllocateChannel, Words({7, 0, 0, 0})},
        {simbus::kIoctlAllocateResources, Resources(0x0D, 3, 1280, 2, 4096)},
        {simbus::kIoctlAttachBuffers, Attach(resource, {{9, 4096, 0, 1, 0}, {0, 64, 0, 0, 0}})},
        {simbus::kIoctlDetachBuffers, Words({resource, 1, 0})},
        {simbus::kIoctlListen, Words({resource, 0, 0})},
        {simbus::kIoctlTalk, Words({resource, 0, 0})},
        {simbus::kIoctlStop, Words({resource, 0})},
        {simbus::kIoctlFreeResources, Words({resource})},
        {simbus::kIoctlFreeBandwidth, Words({0x101})},
        {simbus::kIoctlFreeChannel, Words({7})},
        {simbus::kIoctlIsochRead, IsochRead(resource, 4096)},
        {simbus::kIoctlHostMemoryRead, Words({0, 8, 0}, 24)},
        {simbus::kIoctlHostMemoryWrite, Words({0, 8, 0, 1, 2}, 24)},
        {simbus::kIoctlBusResetWait, {}},
    };
}

TEST(RequestDecoder, MalformedRecordsNeverBreakTheBus) {
    std::mt19937 random(20240601);
    BusHarness h;
    h.bus.AddCamera();
    const simbus::ClientId client = h.bus.Connect(0);
    Bytes out;
    ASSERT_EQ(
        h.Call(client, simbus::kIoctlAllocateResources, Resources(0x0D, 3, 1280, 2, 4096), &out),
        0u);
    const auto seeds = Seeds(Word(out, 28));
    std::map<std::uint32_t, std::uint32_t> outSizes;

    for (int round = 0; round < 20000; ++round) {
        auto [code, record] = seeds[random() % seeds.size()];
        if (random() % 8 == 0) code = random();
        switch (random() % 4) {
            case 0:
                record.resize(random() % (record.size() + 64));
                break;
            case 1:  // a random word anywhere, often a size field
                if (record.size() >= 4) {
                    const std::uint32_t value = random() % 2 ? random() : random() % 64;
                    platform::StoreLE32(&record[(random() % (record.size() - 3)) & ~3u], value);
                }
                break;
            case 2:
                for (auto& byte : record) byte = random() % 4 == 0 ? std::uint8_t(random()) : byte;
                break;
            default:
                break;
        }
        const std::uint32_t outSize =
            random() % 3 == 0 ? random() % (record.size() + 64) : std::uint32_t(record.size());
        const std::uint32_t id = h.nextId++;
        outSizes[id] = outSize;
        h.bus.Submit({client, id, code, record, outSize});
        if (round % 50 == 0) h.AdvanceTo(round * 10);
        if (round % 500 == 0) h.bus.Cancel(client, 0);
    }
    h.bus.Cancel(client, 0);
    h.bus.Disconnect(client);

    ASSERT_EQ(h.answers.size(), outSizes.size());
    for (const auto& [key, completion] : h.answers) {
        EXPECT_EQ(h.answerCount[key], 1) << "request " << key.second;
        EXPECT_LE(completion.Length(), outSizes[key.second]) << "request " << key.second;
        EXPECT_NE(completion.status, kErrorIoPending);
        EXPECT_NE(completion.status, kErrorIoIncomplete);
    }
}

}  // namespace
