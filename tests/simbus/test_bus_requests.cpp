// The bus's answers to every request code, driven in process: records, sizes, shared
// resources, pending requests with cancel and close, resets, unplugging and faults.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/simbus/BusRecords.h"

namespace {

using namespace simbustest;
using namespace platform;
using simbus::ClientId;

class BusRequests : public ::testing::Test {
protected:
    void SetUp() override {
        h.bus.AddCamera();
        h.bus.AddCamera(simbus::kSpeed200);
        camera = h.bus.Connect(0);
        other = h.bus.Connect(1);
    }

    unsigned NodeOf(ClientId client, bool host = false) {
        Bytes out;
        EXPECT_EQ(h.Call(client, simbus::kIoctlNodeAddress, Words({host ? 1u : 0u, 0}), &out),
                  kErrorSuccess);
        EXPECT_EQ(Word(out, 4) >> 6, simbus::kLocalBus);
        return Word(out, 4) & 63;
    }

    // The command base, found as a client finds it: in the unit dependent directory.
    std::uint64_t CommandBase() {
        Bytes header;
        h.Call(camera, simbus::kIoctlConfigInfo, Bytes(68), &header);
        Bytes second(68);
        std::copy_n(header.begin() + 24, 44, second.begin() + 24);
        const std::uint32_t unitBytes = Word(header, 24);
        Bytes full;
        EXPECT_EQ(h.Call(camera, simbus::kIoctlConfigInfo, second, &full, 68 + 1024), kErrorSuccess);
        return kCsrBase + std::uint64_t(platform::LoadBE32(&full[68 + unitBytes]) & 0xFF'FFFF) * 4;
    }

    std::uint32_t ReadQuadlet(std::uint64_t address, std::uint32_t& value) {
        Bytes out;
        const std::uint32_t status =
            h.Call(camera, simbus::kIoctlAsyncRead,
                   AsyncRecord(NodeAddress(NodeOf(camera)), address, 4), &out);
        if (status == kErrorSuccess) value = platform::LoadBE32(&out[36]);
        return status;
    }

    std::uint32_t WriteQuadlets(std::uint64_t address,
                                std::initializer_list<std::uint32_t> values) {
        return h.Call(camera, simbus::kIoctlAsyncWrite,
                      AsyncWrite(NodeAddress(NodeOf(camera)), address, values));
    }

    BusHarness h;
    ClientId camera = 0;
    ClientId other = 0;
};

TEST_F(BusRequests, NodeNumbersAndSpeedsNameTheSocketsUnitAndTheHost) {
    EXPECT_EQ(NodeOf(camera), 0u);
    EXPECT_EQ(NodeOf(other), 1u);
    EXPECT_EQ(NodeOf(camera, true), 2u);
    Bytes out;
    ASSERT_EQ(h.Call(other, simbus::kIoctlMaxSpeed, Bytes(268), &out), kErrorSuccess);
    EXPECT_EQ(Word(out, 264), simbus::kSpeed200);
    ASSERT_EQ(h.Call(other, simbus::kIoctlMaxSpeed, Words({1}, 268), &out), kErrorSuccess);
    EXPECT_EQ(Word(out, 264), simbus::kSpeed400);

    h.bus.Reset(true);
    EXPECT_NE(NodeOf(camera, true), 2u);
    EXPECT_NE(NodeOf(camera), NodeOf(other));
}

TEST_F(BusRequests, FixedRecordsWithWrongSizesOrFlagsAreRefused) {
    EXPECT_EQ(h.Call(camera, simbus::kIoctlNodeAddress, Words({2, 0})), kErrorInvalidParameter);
    EXPECT_EQ(h.Call(camera, simbus::kIoctlNodeAddress, Words({0})), kErrorInvalidParameter);
    EXPECT_EQ(h.Call(camera, simbus::kIoctlNodeAddress, Words({0, 0}), nullptr, 4),
              kErrorInsufficientBuffer);
    EXPECT_EQ(h.Call(camera, simbus::kIoctlMaxSpeed, Bytes(264)), kErrorInvalidParameter);
    EXPECT_EQ(h.Call(camera, simbus::kIoctlHostInfo, Words({0, 1, 28}, 28)), kErrorNotSupported);
    EXPECT_EQ(h.Call(camera, 0x222FFC, Bytes(16)), kErrorNotSupported);
}

TEST_F(BusRequests, ConfigurationInformationComesInTwoCalls) {
    Bytes header;
    ASSERT_EQ(h.Call(camera, simbus::kIoctlConfigInfo, Bytes(68), &header), kErrorSuccess);
    ASSERT_EQ(header.size(), 68u);
    const std::uint32_t companyId = header[12] << 16 | header[13] << 8 | header[14];
    EXPECT_NE(companyId, 0u);
    const std::uint32_t unitBytes = Word(header, 24);
    const std::uint32_t total = unitBytes + Word(header, 40) + Word(header, 56) + Word(header, 60);
    ASSERT_GE(unitBytes, 8u);

    Bytes second(68);
    std::copy_n(header.begin() + 24, 44, second.begin() + 24);
    EXPECT_EQ(h.Call(camera, simbus::kIoctlConfigInfo, second, nullptr, 68 + total - 1),
              kErrorInsufficientBuffer);
    Bytes full;
    ASSERT_EQ(h.Call(camera, simbus::kIoctlConfigInfo, second, &full, 68 + total), kErrorSuccess);
    ASSERT_EQ(full.size(), 68u + total);
    const std::uint32_t version = full[68 + 5] << 16 | full[68 + 6] << 8 | full[68 + 7];
    EXPECT_EQ(version, 0x000102u);
    EXPECT_EQ(full[68 + unitBytes], 0x40);  // the command base entry

    platform::StoreLE32(&second[24], unitBytes + 4);
    EXPECT_EQ(h.Call(camera, simbus::kIoctlConfigInfo, second, nullptr, 1024),
              kErrorInvalidParameter);

    const auto unit = h.bus.AddDevice(0x010001);
    const ClientId device = h.bus.Connect(*unit);
    ASSERT_EQ(h.Call(device, simbus::kIoctlConfigInfo, Bytes(68), &header), kErrorSuccess);
    std::copy_n(header.begin() + 24, 44, second.begin() + 24);
    ASSERT_EQ(h.Call(device, simbus::kIoctlConfigInfo, second, &full, 1024), kErrorSuccess);
    EXPECT_EQ(full[68 + 5] << 16 | full[68 + 6] << 8 | full[68 + 7], 0x010001);
}

TEST_F(BusRequests, RegistersTravelBigEndianAndKeepWhatIsWritten) {
    const std::uint64_t base = CommandBase();
    ASSERT_EQ(WriteQuadlets(base + kIsoChannelSpeed, {0x3200'0000}), kErrorSuccess);
    Bytes out;
    ASSERT_EQ(h.Call(camera, simbus::kIoctlAsyncRead,
                     AsyncRecord(NodeAddress(NodeOf(camera)), base + kIsoChannelSpeed, 4), &out),
              kErrorSuccess);
    ASSERT_EQ(out.size(), 44u);
    EXPECT_EQ(out[36], 0x32);  // most significant byte first
    EXPECT_EQ(out[39], 0x00);

    // A block read spans several registers; the ROM reads at its usual place.
    ASSERT_EQ(h.Call(camera, simbus::kIoctlAsyncRead,
                     AsyncRecord(NodeAddress(NodeOf(camera)), base + 0x600, 16), &out),
              kErrorSuccess);
    EXPECT_EQ(platform::LoadBE32(&out[36 + 12]), 0x3200'0000u);
    std::uint32_t romHeader = 0;
    ASSERT_EQ(ReadQuadlet(kCsrBase + 0x400, romHeader), kErrorSuccess);
    EXPECT_EQ(romHeader >> 24, 4u);
}

TEST_F(BusRequests, BadAddressesAnswerErrorStatuses) {
    const std::uint64_t base = CommandBase();
    std::uint32_t value = 0;
    EXPECT_EQ(ReadQuadlet(kCsrSpace + 0x1000, value), kErrorGenFailure);       // nothing there
    EXPECT_EQ(WriteQuadlets(base + kVModeInqFormat0, {0}), kErrorGenFailure);  // read-only
    EXPECT_EQ(WriteQuadlets(kCsrBase + 0x400, {0}), kErrorGenFailure);         // the ROM
    EXPECT_EQ(h.Call(camera, simbus::kIoctlAsyncRead, AsyncRecord(NodeAddress(40), base, 4)),
              kErrorSemTimeout);
    EXPECT_EQ(
        h.Call(camera, simbus::kIoctlAsyncRead, AsyncRecord(NodeAddress(NodeOf(camera)), base, 6)),
        kErrorInvalidParameter);
    EXPECT_EQ(h.Call(camera, simbus::kIoctlAsyncRead,
                     AsyncRecord(NodeAddress(NodeOf(camera)), base, 8), nullptr, 40),
              kErrorInsufficientBuffer);

    // A block write stops at the refused quadlet; the ones before it stay written.
    // (0x620 takes memory channels 1 and up only.)
    EXPECT_EQ(WriteQuadlets(base + kIsoChannelSpeed, {0x1200'0000, 0x8000'0000, 0, 0, 0, 0}),
              kErrorGenFailure);
    ASSERT_EQ(ReadQuadlet(base + kIsoChannelSpeed, value), kErrorSuccess);
    EXPECT_EQ(value, 0x1200'0000u);
}

TEST_F(BusRequests, HostInformationAndHostMemory) {
    Bytes out;
    ASSERT_EQ(h.Call(camera, simbus::kIoctlHostInfo, Words({0, 2, 28}, 28), &out), kErrorSuccess);
    EXPECT_EQ(Word(out, 12), 0x111u);  // with the receive contexts
    EXPECT_EQ(Word(out, 16), 4u);
    h.bus.SetHostCaps(simbus::kHostCapStripHeader);
    h.bus.SetReceiveContexts(2);
    ASSERT_EQ(h.Call(camera, simbus::kIoctlHostInfo, Words({0, 2, 28}, 28), &out), kErrorSuccess);
    EXPECT_EQ(Word(out, 12), 0x110u);
    EXPECT_EQ(Word(out, 16), 2u);

    Bytes write = Words({0, 8, 0, 0x01020304, 0x05060708}, 24);
    ASSERT_EQ(h.Call(camera, simbus::kIoctlHostMemoryWrite, write), kErrorSuccess);
    ASSERT_EQ(h.Call(other, simbus::kIoctlHostMemoryRead, Words({0, 8, 0}, 24), &out),
              kErrorSuccess);
    ASSERT_EQ(out.size(), 24u);
    EXPECT_EQ(Word(out, 12), 0x01020304u);
    EXPECT_EQ(Word(out, 16), 0x05060708u);
    EXPECT_EQ(h.Call(camera, simbus::kIoctlHostMemoryRead, Words({1, 8, 0}, 24)),
              kErrorInvalidHandle);
    EXPECT_EQ(h.Call(camera, simbus::kIoctlHostMemoryRead, Words({0, 1 << 20, 0}, 24), nullptr,
                     (1 << 20) + 16),
              kErrorInvalidParameter);
    EXPECT_EQ(h.Call(camera, simbus::kIoctlHostMemoryWrite, Words({0, 8, 0, 1}, 16)),
              kErrorInvalidParameter);
}

TEST_F(BusRequests, BandwidthIsOneBudgetWithinThePhysicalLimits) {
    Bytes out;
    ASSERT_EQ(h.Call(camera, simbus::kIoctlAllocateBandwidth, Words({4096, 4, 0, 0, 0}), &out),
              kErrorSuccess);
    const std::uint32_t handle = Word(out, 8);
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(h.Call(other, simbus::kIoctlAllocateBandwidth, Words({4096, 4, 0, 0, 0})), kErrorBusy);
    EXPECT_EQ(h.Call(other, simbus::kIoctlAllocateBandwidth, Words({4100, 4, 0, 0, 0})),
              kErrorInvalidParameter);
    EXPECT_EQ(h.Call(other, simbus::kIoctlAllocateBandwidth, Words({2052, 2, 0, 0, 0})),
              kErrorInvalidParameter);
    EXPECT_EQ(h.Call(other, simbus::kIoctlAllocateBandwidth, Words({1028, 1, 0, 0, 0})),
              kErrorInvalidParameter);
    EXPECT_EQ(h.Call(other, simbus::kIoctlAllocateBandwidth, Words({64, 3, 0, 0, 0})),
              kErrorInvalidParameter);
    // Two VGA RGB streams at 15 fps share the bus; a third does not fit.
    EXPECT_EQ(h.Call(other, simbus::kIoctlFreeBandwidth, Words({handle})), kErrorInvalidHandle);
    ASSERT_EQ(h.Call(camera, simbus::kIoctlFreeBandwidth, Words({handle})), kErrorSuccess);
    EXPECT_EQ(h.Call(camera, simbus::kIoctlAllocateBandwidth, Words({1920, 4, 0, 0, 0})),
              kErrorSuccess);
    EXPECT_EQ(h.Call(other, simbus::kIoctlAllocateBandwidth, Words({1920, 4, 0, 0, 0})),
              kErrorSuccess);
    EXPECT_EQ(h.Call(other, simbus::kIoctlAllocateBandwidth, Words({1920, 4, 0, 0, 0})), kErrorBusy);
    // A client that goes gives its share back.
    h.bus.Disconnect(other);
    EXPECT_EQ(h.Call(camera, simbus::kIoctlAllocateBandwidth, Words({1920, 4, 0, 0, 0})),
              kErrorSuccess);
}

TEST_F(BusRequests, EachChannelOnceOnTheWholeBus) {
    EXPECT_EQ(h.Call(camera, simbus::kIoctlAllocateChannel, Words({0, 0, 0, 0})), kErrorSuccess);
    EXPECT_EQ(h.Call(other, simbus::kIoctlAllocateChannel, Words({0, 0, 0, 0})), kErrorBusy);
    EXPECT_EQ(h.Call(other, simbus::kIoctlAllocateChannel, Words({63, 0, 0, 0})), kErrorSuccess);
    EXPECT_EQ(h.Call(other, simbus::kIoctlAllocateChannel, Words({64, 0, 0, 0})),
              kErrorInvalidParameter);
    EXPECT_EQ(h.Call(other, simbus::kIoctlFreeChannel, Words({0})), kErrorInvalidHandle);
    EXPECT_EQ(h.Call(camera, simbus::kIoctlFreeChannel, Words({0})), kErrorSuccess);
    EXPECT_EQ(h.Call(other, simbus::kIoctlAllocateChannel, Words({0, 0, 0, 0})), kErrorSuccess);
    h.bus.Disconnect(other);
    EXPECT_EQ(h.Call(camera, simbus::kIoctlAllocateChannel, Words({63, 0, 0, 0})), kErrorSuccess);
}

TEST_F(BusRequests, ResourcesAskOnlyForWhatTheHostCanDo) {
    Bytes out;
    ASSERT_EQ(
        h.Call(camera, simbus::kIoctlAllocateResources, Resources(0x0D, 0, 1280, 1, 614400), &out),
        kErrorSuccess);
    EXPECT_NE(Word(out, 28), 0u);
    const auto refused = [&](Bytes record) {
        return h.Call(camera, simbus::kIoctlAllocateResources, record);
    };
    EXPECT_EQ(refused(Resources(0x03, 0, 1280, 1, 100)),
              kErrorInvalidParameter);  // listen and talk
    EXPECT_EQ(refused(Resources(0x80 | 0x01, 0, 1280, 1, 100)), kErrorInvalidParameter);
    EXPECT_EQ(refused(Resources(0x01, 0, 4100, 1, 100)), kErrorInvalidParameter);
    EXPECT_EQ(refused(Resources(0x01, 0, 1280, 0, 100)), kErrorInvalidParameter);
    Bytes stripMismatch = Resources(0x09, 0, 1280, 1, 100);
    platform::StoreLE32(&stripMismatch[24], 0);
    EXPECT_EQ(refused(stripMismatch), kErrorInvalidParameter);
    h.bus.SetHostCaps(0);
    EXPECT_EQ(refused(Resources(0x09, 0, 1280, 1, 100)), kErrorNotSupported);
    EXPECT_EQ(refused(Resources(0x41, 0, 1280, 1, 100)), kErrorNotSupported);
    // Handles belong to the client that allocated them.
    const std::uint32_t handle = Word(out, 28);
    EXPECT_EQ(h.Call(other, simbus::kIoctlListen, Words({handle, 0, 0})), kErrorInvalidHandle);
    EXPECT_EQ(h.Call(camera, simbus::kIoctlTalk, Words({handle, 0, 0})), kErrorInvalidParameter);
    EXPECT_EQ(h.Call(camera, simbus::kIoctlFreeResources, Words({handle})), kErrorSuccess);
    EXPECT_EQ(h.Call(camera, simbus::kIoctlListen, Words({handle, 0, 0})), kErrorInvalidHandle);
}

TEST_F(BusRequests, PendingRequestsAnswerOnceOnCancelAndNeverAfterClose) {
    Bytes out;
    h.Call(camera, simbus::kIoctlAllocateResources, Resources(0x0D, 5, 1280, 1, 1280), &out);
    const std::uint32_t handle = Word(out, 28);
    const std::uint32_t attach =
        h.Send(camera, simbus::kIoctlAttachBuffers, Attach(handle, {{9, 1280, 0, 1, 0}}));
    ASSERT_EQ(h.Call(camera, simbus::kIoctlListen, Words({handle, 0, 0})), kErrorSuccess);
    const std::uint32_t read = h.Send(camera, simbus::kIoctlIsochRead, IsochRead(handle, 1280));
    const std::uint32_t wait = h.Send(camera, simbus::kIoctlBusResetWait, {});
    EXPECT_FALSE(h.Take(camera, attach) || h.Take(camera, read) || h.Take(camera, wait));

    h.bus.Cancel(camera, read);
    h.bus.Cancel(camera, read);
    const auto aborted = h.Take(camera, read);
    ASSERT_TRUE(aborted);
    EXPECT_EQ(aborted->status, kErrorOperationAborted);
    EXPECT_EQ(aborted->Length(), 0u);
    EXPECT_EQ((h.answerCount[{camera, read}]), 1);

    h.bus.Cancel(camera, 0);
    EXPECT_EQ(h.Take(camera, attach)->status, kErrorOperationAborted);
    EXPECT_EQ(h.Take(camera, wait)->status, kErrorOperationAborted);

    // A request id that is still pending cannot be used again.
    const std::uint32_t again = h.Send(other, simbus::kIoctlBusResetWait, {});
    h.bus.Submit({other, again, simbus::kIoctlNodeAddress, Words({0, 0}), 8});
    EXPECT_EQ(h.Take(other, again)->status, kErrorInvalidParameter);
    h.bus.Disconnect(other);
    h.bus.Reset(false);
    EXPECT_FALSE(h.Take(other, again));
}

// Attaches that never complete cannot make the bus hold without limit: each holds its record
// and its buffers until answered, and a connection holds at most 128 MiB of them.
TEST_F(BusRequests, PendingAttachesHoldNoMoreThanTheConnectionsShare) {
    constexpr std::uint32_t kLength = 15u << 20;
    Bytes out;
    ASSERT_EQ(h.Call(camera, simbus::kIoctlAllocateResources,
                     Resources(0x0D, 5, 1280, 8, kLength), &out),
              kErrorSuccess);
    const Bytes record = Attach(Word(out, 28), {{9, kLength, 0, 1, 0}});
    const auto held = [&] {
        const std::string status = h.bus.Status();
        const auto at = status.find("attach memory: ");
        return at == std::string::npos ? -1L : std::stol(status.substr(at + 15));
    };
    std::vector<std::uint32_t> pending;
    for (int i = 0; i < 4; ++i) pending.push_back(h.Send(camera, simbus::kIoctlAttachBuffers, record));
    const std::uint32_t refused = h.Send(camera, simbus::kIoctlAttachBuffers, record);
    for (const std::uint32_t id : pending) EXPECT_FALSE(h.Take(camera, id)) << id;
    const auto answer = h.Take(camera, refused);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, kErrorNotEnoughMemory);
    EXPECT_EQ(held(), long(4 * 2 * record.size() / 1024));

    // What an answered attach held is free again.
    h.bus.Cancel(camera, pending.back());
    const std::uint32_t again = h.Send(camera, simbus::kIoctlAttachBuffers, record);
    EXPECT_FALSE(h.Take(camera, again));
    h.bus.Disconnect(camera);
    EXPECT_EQ(held(), 0L);
}

TEST_F(BusRequests, ResetCompletesEveryWaitOfEveryClient) {
    const std::uint32_t first = h.Send(camera, simbus::kIoctlBusResetWait, {});
    const std::uint32_t second = h.Send(other, simbus::kIoctlBusResetWait, {});
    h.bus.Reset(false);
    EXPECT_EQ(h.Take(camera, first)->status, kErrorSuccess);
    EXPECT_EQ(h.Take(other, second)->status, kErrorSuccess);
    const std::uint32_t next = h.Send(camera, simbus::kIoctlBusResetWait, {});
    EXPECT_FALSE(h.Take(camera, next));
    // Plugging a unit in resets the bus too.
    h.bus.AddCamera();
    EXPECT_EQ(h.Take(camera, next)->status, kErrorSuccess);
}

TEST_F(BusRequests, UnpluggedUnitFailsItsClientsAndFreesTheirResources) {
    Bytes out;
    h.Call(camera, simbus::kIoctlAllocateBandwidth, Words({4096, 4, 0, 0, 0}));
    h.Call(camera, simbus::kIoctlAllocateResources, Resources(0x0D, 5, 1280, 1, 1280), &out);
    const std::uint32_t handle = Word(out, 28);
    const std::uint32_t attach =
        h.Send(camera, simbus::kIoctlAttachBuffers, Attach(handle, {{9, 1280, 0, 1, 0}}));
    h.Call(camera, simbus::kIoctlListen, Words({handle, 0, 0}));
    const std::uint32_t read = h.Send(camera, simbus::kIoctlIsochRead, IsochRead(handle, 1280));
    const std::uint32_t wait = h.Send(other, simbus::kIoctlBusResetWait, {});

    ASSERT_EQ(h.bus.RemoveUnit(0), 0u);
    EXPECT_EQ(h.Take(camera, attach)->status, kErrorDeviceNotConnected);
    EXPECT_EQ(h.Take(camera, read)->status, kErrorDeviceNotConnected);
    EXPECT_EQ(h.Take(other, wait)->status, kErrorSuccess);
    EXPECT_EQ(h.Call(camera, simbus::kIoctlNodeAddress, Words({0, 0})), kErrorDeviceNotConnected);
    EXPECT_EQ(h.Call(other, simbus::kIoctlAllocateBandwidth, Words({4096, 4, 0, 0, 0})),
              kErrorSuccess);
    EXPECT_EQ(NodeOf(other), 0u);
    EXPECT_FALSE(h.bus.RemoveUnit(1));
}

TEST_F(BusRequests, FaultsStrikeTheNextRequestsTheyApplyTo) {
    const std::uint64_t base = CommandBase();
    std::uint32_t value = 0;
    h.bus.Faults().Arm(simbus::FaultKind::AsyncFail, 2);
    EXPECT_EQ(ReadQuadlet(base + kIsoEnable, value), kErrorGenFailure);
    EXPECT_EQ(WriteQuadlets(base + kIsoEnable, {0}), kErrorGenFailure);
    EXPECT_EQ(ReadQuadlet(base + kIsoEnable, value), kErrorSuccess);

    h.bus.Faults().Arm(simbus::FaultKind::AsyncShort, 1);
    Bytes out;
    ASSERT_EQ(h.Call(camera, simbus::kIoctlAsyncRead,
                     AsyncRecord(NodeAddress(NodeOf(camera)), base + 0x600, 16), &out),
              kErrorSuccess);
    EXPECT_LT(out.size(), 36u + 16u);

    h.bus.Faults().Arm(simbus::FaultKind::Stall, 1);
    const std::uint32_t stalled = h.Send(camera, simbus::kIoctlNodeAddress, Words({0, 0}));
    EXPECT_FALSE(h.Take(camera, stalled));
    EXPECT_EQ(h.Call(camera, simbus::kIoctlNodeAddress, Words({0, 0})), kErrorSuccess);
    h.bus.Cancel(camera, stalled);
    EXPECT_EQ(h.Take(camera, stalled)->status, kErrorOperationAborted);
}

}  // namespace
