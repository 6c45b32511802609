// kestrix-busd and kestrix-busctl as programs: the device directory and its lock, requests
// through a real device handle, streaming at real rate and faster, bus resets, plugging and
// unplugging, faults, several clients, and connections that break the framing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "platform/AsyncRequest.h"
#include "platform/DeviceHandle.h"
#include "platform/DeviceProtocol.h"
#include "platform/Event.h"
#include "tests/simbus/BusRecords.h"
#include "tests/support/SimulatedBus.h"

namespace {

using namespace simbustest;
using namespace platform;
using testsupport::SimulatedBus;

constexpr auto kGenerous = std::chrono::seconds(20);

// A program's view of one unit: a device handle and the camera's registers behind it.
class Unit {
public:
    explicit Unit(const std::string& path) {
        EXPECT_EQ(m_handle.Open(path), kErrorSuccess) << path;
    }

    std::uint32_t Call(std::uint32_t code, Bytes& buffer, std::uint32_t* returned = nullptr,
                       std::optional<std::uint32_t> inSize = std::nullopt) {
        return m_handle.Request(code, buffer, inSize.value_or(std::uint32_t(buffer.size())),
                                std::uint32_t(buffer.size()), returned);
    }

    unsigned Node() {
        Bytes record = Words({0, 0});
        EXPECT_EQ(Call(simbus::kIoctlNodeAddress, record), kErrorSuccess);
        return Word(record, 4) & 63;
    }

    std::uint64_t CommandBase() {
        const std::uint64_t base = ReadCommandBase(
            [this](std::uint32_t code, Bytes& buffer) { return Call(code, buffer); });
        EXPECT_NE(base, 0u);
        return base;
    }

    std::uint32_t Write(std::uint32_t offset, std::uint32_t value) {
        Bytes record = AsyncWrite(NodeAddress(Node()), m_base + offset, {value});
        return Call(simbus::kIoctlAsyncWrite, record);
    }

    std::uint32_t Read(std::uint32_t offset, std::uint32_t& value) {
        Bytes record = AsyncRecord(NodeAddress(Node()), m_base + offset, 4);
        const std::uint32_t status = Call(simbus::kIoctlAsyncRead, record);
        value = platform::LoadBE32(&record[36]);
        return status;
    }

    // VGA YUV 4:2:2 at 15 fps on a channel at S400.
    void ProgramVga(std::uint32_t channel) {
        m_base = CommandBase();
        EXPECT_EQ(Write(kCurFormat, 0), kErrorSuccess);
        EXPECT_EQ(Write(kCurMode, 3u << 29), kErrorSuccess);
        EXPECT_EQ(Write(kCurFrameRate, 3u << 29), kErrorSuccess);
        EXPECT_EQ(Write(kIsoChannelSpeed, channel << 28 | 2u << 24), kErrorSuccess);
    }

    // Sets up reception of whole frames as the transfer thread does; the resource handle.
    std::uint32_t Listen(std::uint32_t channel, bool allocate) {
        Bytes record;
        if (allocate) {
            record = Words({kVgaPacketBytes, 4, 0, 0, 0});
            EXPECT_EQ(Call(simbus::kIoctlAllocateBandwidth, record), kErrorSuccess);
            record = Words({channel, 0, 0, 0});
            EXPECT_EQ(Call(simbus::kIoctlAllocateChannel, record), kErrorSuccess);
        }
        record = Resources(0x0D, channel, kVgaPacketBytes, 1, kVgaFrameBytes);
        EXPECT_EQ(Call(simbus::kIoctlAllocateResources, record), kErrorSuccess);
        const std::uint32_t resource = Word(record, 28);
        m_attachRecord =
            Attach(resource, {{simbus::kDescriptorSync, kVgaFrameBytes, kVgaPacketBytes, 1, 0}});
        m_attach.SetEvent(&m_attachDone);
        EXPECT_EQ(m_handle.Issue(simbus::kIoctlAttachBuffers, m_attachRecord,
                                 std::uint32_t(m_attachRecord.size()),
                                 std::uint32_t(m_attachRecord.size()), m_attach),
                  kErrorIoPending);
        record = Words({resource, 0, 0});
        EXPECT_EQ(Call(simbus::kIoctlListen, record), kErrorSuccess);
        return resource;
    }

    // The next frame's counter, or nothing when the read failed or delivered nothing.
    std::optional<std::uint32_t> ReadFrame(std::uint32_t resource,
                                           std::uint32_t* status = nullptr) {
        Bytes record = IsochRead(resource, kVgaFrameBytes);
        std::uint32_t returned = 0;
        const std::uint32_t result = Call(simbus::kIoctlIsochRead, record, &returned);
        if (status) *status = result;
        if (result != kErrorSuccess || std::int32_t(Word(record, 4)) < 0 || returned < 20)
            return std::nullopt;
        return platform::LoadBE32(&record[16]);
    }

    DeviceHandle& Handle() { return m_handle; }

private:
    DeviceHandle m_handle;
    std::uint64_t m_base = 0;
    Bytes m_attachRecord;
    Event m_attachDone{EventMode::ManualReset};
    AsyncRequest m_attach;
};

// A request left pending, with its event.
struct Pending {
    Event done{EventMode::ManualReset};
    AsyncRequest request;
    Bytes buffer;

    Pending() { request.SetEvent(&done); }
    std::uint32_t Issue(DeviceHandle& handle, std::uint32_t code, Bytes record) {
        buffer = std::move(record);
        return handle.Issue(code, buffer, std::uint32_t(buffer.size()),
                            std::uint32_t(buffer.size()), request);
    }
    // The final status, once it came within the generous time-out.
    std::uint32_t Result(DeviceHandle& handle) {
        if (!done.WaitFor(std::chrono::duration_cast<std::chrono::milliseconds>(kGenerous)))
            return kErrorIoIncomplete;
        std::uint32_t returned = 0;
        return handle.GetResult(request, &returned, false);
    }
};

bool IsSocket(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

TEST(Busd, OwnsItsDirectoryAndCleansUpOnEitherSignal) {
    SimulatedBus bus(2);
    ASSERT_TRUE(bus.IsRunning());
    ASSERT_EQ(bus.UnitPaths().size(), 2u);
    struct stat info {};
    ASSERT_EQ(::stat(bus.Dir().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    const auto second = SimulatedBus::RunProgram({KESTRIX_BUSD_PATH, "--dir", bus.Dir().string()});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.errors.find("another kestrix-busd already serves"), std::string::npos)
        << second.errors;
    EXPECT_EQ(bus.UnitPaths().size(), 2u);

    EXPECT_EQ(bus.Stop(SIGINT), 128 + SIGINT);
    EXPECT_TRUE(std::filesystem::is_empty(bus.Dir()));
    ASSERT_TRUE(bus.Restart());
    EXPECT_EQ(bus.Stop(SIGTERM), 128 + SIGTERM);
    EXPECT_TRUE(std::filesystem::is_empty(bus.Dir()));
}

TEST(Busd, LeavesNoFolderBehindWhenItCannotServe) {
    testsupport::TempDir base;
    // Too long a path for its sockets' addresses: made, then found unusable.
    const auto made = base.Path() / "made";
    const auto dir = made / (std::string(100, 'd') + "/");
    const auto failed = SimulatedBus::RunProgram({KESTRIX_BUSD_PATH, "--dir", dir.string()});
    EXPECT_EQ(failed.exitCode, 1) << failed.errors;
    EXPECT_FALSE(std::filesystem::exists(made));
    EXPECT_TRUE(std::filesystem::exists(base.Path()));
}

TEST(Busd, StartsAfterADaemonThatCrashed) {
    SimulatedBus bus(1);
    bus.Kill();
    ASSERT_EQ(bus.UnitPaths().size(), 1u);  // left behind
    ASSERT_TRUE(bus.Restart());
    Unit unit(bus.UnitPaths().at(0));
    EXPECT_EQ(unit.Node(), 0u);
}

TEST(Busd, BusctlReportsAndRefusesClearly) {
    SimulatedBus bus(1, 2);
    const auto status = bus.Busctl({"status"});
    ASSERT_TRUE(status.Ok()) << status.errors;
    EXPECT_NE(status.output.find("rate scale 2"), std::string::npos) << status.output;
    EXPECT_NE(status.output.find("node 1: host adapter"), std::string::npos) << status.output;
    EXPECT_NE(status.output.find("node 0: camera, unit 0 (device 0)"), std::string::npos)
        << status.output;

    EXPECT_EQ(bus.Busctl({"remove", "5"}).exitCode, 1);
    const auto unknown = bus.Busctl({"frobnicate"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_NE(unknown.errors.find("unknown command frobnicate"), std::string::npos);
    EXPECT_EQ(bus.Busctl({"fault", "melt"}).exitCode, 2);
    // A lost frame is one camera's, and only it names one.
    EXPECT_EQ(bus.Busctl({"fault", "lost-frame", "2"}).exitCode, 2);
    EXPECT_EQ(bus.Busctl({"fault", "short-frame", "1", "--camera", "0"}).exitCode, 2);
    EXPECT_EQ(bus.Busctl({"fault", "lost-frame", "2", "--camera", "5"}).exitCode, 1);
    ASSERT_TRUE(bus.Busctl({"fault", "lost-frame", "2", "--camera", "0"}).Ok());
    EXPECT_NE(bus.Busctl({"status"}).output.find("faults lost-frame x2 on unit 0"),
              std::string::npos);

    testsupport::TempDir empty;
    const auto nobody =
        SimulatedBus::RunProgram({KESTRIX_BUSCTL_PATH, "--dir", empty.Path().string(), "status"});
    EXPECT_EQ(nobody.exitCode, 1);
    EXPECT_NE(nobody.errors.find("no kestrix-busd is running"), std::string::npos) << nobody.errors;
}

TEST(Busd, AnswersRequestsOnEachUnitSocket) {
    SimulatedBus bus(2);
    Unit first(bus.UnitPaths().at(0));
    Unit second(bus.UnitPaths().at(1));
    EXPECT_EQ(first.Node(), 0u);
    EXPECT_EQ(second.Node(), 1u);

    first.ProgramVga(4);
    std::uint32_t value = 0;
    ASSERT_EQ(first.Read(kIsoChannelSpeed, value), kErrorSuccess);
    EXPECT_EQ(value, 4u << 28 | 2u << 24);
    EXPECT_EQ(first.Write(kVModeInqFormat0, 0), kErrorGenFailure);

    // An isochronous read needs to send only its header.
    const std::uint32_t resource = first.Listen(4, true);
    Bytes stop = Words({resource, 0});
    EXPECT_EQ(first.Call(simbus::kIoctlStop, stop), kErrorSuccess);
    Bytes read = IsochRead(resource, kVgaFrameBytes);
    std::uint32_t returned = 0;
    ASSERT_EQ(first.Call(simbus::kIoctlIsochRead, read, &returned, 16), kErrorSuccess);
    EXPECT_EQ(returned, 16u);
    EXPECT_LT(std::int32_t(Word(read, 4)), 0);
}

TEST(Busd, AnswersTheRemainingCodesOverTheSocketToo) {
    SimulatedBus bus(1);
    Unit unit(bus.UnitPaths().at(0));
    Bytes record(268);
    ASSERT_EQ(unit.Call(simbus::kIoctlMaxSpeed, record), kErrorSuccess);
    EXPECT_EQ(Word(record, 264), simbus::kSpeed400);
    record = Words({0, 2, 28}, 28);
    ASSERT_EQ(unit.Call(simbus::kIoctlHostInfo, record), kErrorSuccess);
    EXPECT_EQ(Word(record, 12), 0x111u);
    EXPECT_EQ(Word(record, 16), 4u);
    record = Words({0, 4, 0, 0xCAFE}, 20);
    ASSERT_EQ(unit.Call(simbus::kIoctlHostMemoryWrite, record), kErrorSuccess);
    record = Words({0, 4, 0}, 20);
    ASSERT_EQ(unit.Call(simbus::kIoctlHostMemoryRead, record), kErrorSuccess);
    EXPECT_EQ(Word(record, 12), 0xCAFEu);

    // A talker's buffer, detached before it went out, and everything freed again.
    record = Words({512, 4, 0, 0, 0});
    ASSERT_EQ(unit.Call(simbus::kIoctlAllocateBandwidth, record), kErrorSuccess);
    const std::uint32_t bandwidth = Word(record, 8);
    record = Words({9, 0, 0, 0});
    ASSERT_EQ(unit.Call(simbus::kIoctlAllocateChannel, record), kErrorSuccess);
    record = Resources(0x06, 9, 512, 1, 512);
    ASSERT_EQ(unit.Call(simbus::kIoctlAllocateResources, record), kErrorSuccess);
    const std::uint32_t resource = Word(record, 28);
    Pending attach;
    ASSERT_EQ(attach.Issue(unit.Handle(), simbus::kIoctlAttachBuffers,
                           Attach(resource, {{0, 512, 0, 0, 0}}, Bytes(512, 0x5A))),
              kErrorIoPending);
    record = Words({resource, 1, 0});
    ASSERT_EQ(unit.Call(simbus::kIoctlDetachBuffers, record), kErrorSuccess);
    EXPECT_EQ(attach.Result(unit.Handle()), kErrorSuccess);
    record = Words({resource, 0, 0});
    EXPECT_EQ(unit.Call(simbus::kIoctlTalk, record), kErrorSuccess);
    for (const auto& [code, handle] :
         {std::pair{simbus::kIoctlFreeResources, resource}, std::pair{simbus::kIoctlFreeChannel, 9u},
          std::pair{simbus::kIoctlFreeBandwidth, bandwidth}}) {
        record = Words({handle});
        EXPECT_EQ(unit.Call(code, record), kErrorSuccess) << std::hex << code;
    }
    EXPECT_NE(bus.Busctl({"status"}).output.find("bandwidth 0/4915 units, channels none"),
              std::string::npos);
}

TEST(Busd, StreamsAtRealRateToSeveralClients) {
    SimulatedBus bus(1);
    Unit control(bus.UnitPaths().at(0));
    control.ProgramVga(1);
    std::vector<std::vector<std::uint32_t>> counters(2);
    std::vector<std::thread> readers;
    Event listening(EventMode::ManualReset);
    std::atomic<int> ready{0};
    for (int i = 0; i < 2; ++i) {
        readers.emplace_back([&, i] {
            Unit unit(bus.UnitPaths().at(0));
            const std::uint32_t resource = unit.Listen(1, i == 0);
            if (++ready == 2) listening.Set();
            while (counters[i].size() < 4) {
                const auto counter = unit.ReadFrame(resource);
                if (!counter) break;
                counters[i].push_back(*counter);
            }
        });
    }
    ASSERT_TRUE(listening.WaitFor(kGenerous));
    ASSERT_EQ(control.Write(kIsoEnable, 0x8000'0000), kErrorSuccess);
    for (auto& reader : readers) reader.join();
    for (const auto& seen : counters) {
        ASSERT_EQ(seen.size(), 4u);
        EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()) &&
                    std::adjacent_find(seen.begin(), seen.end()) == seen.end());
    }
    // The readers have closed: what they held is free again.
    const auto status = bus.Busctl({"status"});
    EXPECT_NE(status.output.find("bandwidth 0/4915 units, channels none"), std::string::npos)
        << status.output;
}

TEST(Busd, StreamsFasterAtARateScale) {
    SimulatedBus bus(1, 20);
    Unit unit(bus.UnitPaths().at(0));
    unit.ProgramVga(0);
    const std::uint32_t resource = unit.Listen(0, true);
    ASSERT_EQ(unit.Write(kIsoEnable, 0x8000'0000), kErrorSuccess);
    std::vector<std::uint32_t> seen;
    while (seen.size() < 60) {
        const auto counter = unit.ReadFrame(resource);
        ASSERT_TRUE(counter);
        seen.push_back(*counter);
    }
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_GE(seen.back(), 59u);
}

TEST(Busd, BusResetsReachEveryWaitingClient) {
    SimulatedBus bus(2);
    Unit first(bus.UnitPaths().at(0));
    Unit second(bus.UnitPaths().at(1));
    Pending a, b;
    ASSERT_EQ(a.Issue(first.Handle(), simbus::kIoctlBusResetWait, {}), kErrorIoPending);
    ASSERT_EQ(b.Issue(second.Handle(), simbus::kIoctlBusResetWait, {}), kErrorIoPending);
    ASSERT_TRUE(bus.Busctl({"bus-reset", "--renumber"}).Ok());
    EXPECT_EQ(a.Result(first.Handle()), kErrorSuccess);
    EXPECT_EQ(b.Result(second.Handle()), kErrorSuccess);
    EXPECT_NE(first.Node(), 0u);

    Pending c;
    ASSERT_EQ(c.Issue(first.Handle(), simbus::kIoctlBusResetWait, {}), kErrorIoPending);
    first.Handle().CancelAll();
    EXPECT_EQ(c.Result(first.Handle()), kErrorOperationAborted);
}

TEST(Busd, PluggingAndUnpluggingChangesTheUnitsAndResetsTheBus) {
    SimulatedBus bus(1);
    Unit first(bus.UnitPaths().at(0));
    Pending wait;
    ASSERT_EQ(wait.Issue(first.Handle(), simbus::kIoctlBusResetWait, {}), kErrorIoPending);
    const auto added = bus.Busctl({"add-device"});
    ASSERT_TRUE(added.Ok()) << added.errors;
    EXPECT_EQ(wait.Result(first.Handle()), kErrorSuccess);
    ASSERT_EQ(bus.UnitPaths().size(), 2u);
    EXPECT_EQ(added.output, bus.UnitPaths().at(1) + "\n");
    ASSERT_TRUE(bus.Busctl({"add-camera", "--speed", "200"}).Ok());
    ASSERT_EQ(bus.UnitPaths().size(), 3u);

    first.ProgramVga(2);
    const std::uint32_t resource = first.Listen(2, true);
    Pending read;
    ASSERT_EQ(
        read.Issue(first.Handle(), simbus::kIoctlIsochRead, IsochRead(resource, kVgaFrameBytes)),
        kErrorIoPending);
    ASSERT_TRUE(bus.Busctl({"remove", "0"}).Ok());
    EXPECT_EQ(read.Result(first.Handle()), kErrorDeviceNotConnected);
    EXPECT_FALSE(IsSocket(bus.Dir() / "unit-000000"));
    ASSERT_EQ(bus.UnitPaths().size(), 2u);

    // The other units keep working and their channel is free again.
    Unit camera(bus.UnitPaths().at(1));
    EXPECT_EQ(camera.Node(), 1u);
    Bytes channel = Words({2, 0, 0, 0});
    EXPECT_EQ(camera.Call(simbus::kIoctlAllocateChannel, channel), kErrorSuccess);
}

TEST(Busd, FaultsFromBusctlStrikeTheNextRequests) {
    SimulatedBus bus(1);
    Unit unit(bus.UnitPaths().at(0));
    unit.ProgramVga(0);
    std::uint32_t value = 0;
    ASSERT_TRUE(bus.Busctl({"fault", "async-fail", "2"}).Ok());
    EXPECT_NE(bus.Busctl({"status"}).output.find("async-fail x2"), std::string::npos);
    EXPECT_EQ(unit.Read(kIsoEnable, value), kErrorGenFailure);
    EXPECT_EQ(unit.Read(kIsoEnable, value), kErrorGenFailure);
    EXPECT_EQ(unit.Read(kIsoEnable, value), kErrorSuccess);

    const std::uint32_t resource = unit.Listen(0, true);
    ASSERT_EQ(unit.Write(kIsoEnable, 0x8000'0000), kErrorSuccess);
    ASSERT_TRUE(bus.Busctl({"fault", "iso-fail"}).Ok());
    ASSERT_TRUE(bus.Busctl({"fault", "iso-negative"}).Ok());
    std::uint32_t status = 0;
    EXPECT_FALSE(unit.ReadFrame(resource, &status));
    EXPECT_EQ(status, kErrorGenFailure);
    EXPECT_FALSE(unit.ReadFrame(resource, &status));
    EXPECT_EQ(status, kErrorSuccess);  // delivered, with a negative status
    EXPECT_TRUE(unit.ReadFrame(resource));

    ASSERT_TRUE(bus.Busctl({"fault", "stall"}).Ok());
    Pending stalled;
    ASSERT_EQ(stalled.Issue(unit.Handle(), simbus::kIoctlNodeAddress, Words({0, 0})),
              kErrorIoPending);
    EXPECT_FALSE(stalled.done.WaitFor(std::chrono::milliseconds(200)));
    unit.Handle().CancelAll();
    EXPECT_EQ(stalled.Result(unit.Handle()), kErrorOperationAborted);
    ASSERT_TRUE(bus.Busctl({"fault", "clear"}).Ok());
    EXPECT_NE(bus.Busctl({"status"}).output.find("faults none"), std::string::npos);
}

TEST(Busd, ABrokenFrameEndsOnlyItsConnection) {
    SimulatedBus bus(1);
    const std::string path = bus.UnitPaths().at(0);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    // A request whose payload claims more than the protocol allows.
    const auto header = EncodeFrameHeader(MakeRequest(1, simbus::kIoctlNodeAddress, 8, 8));
    Bytes frame(header.begin(), header.end());
    platform::StoreLE32(&frame[12], platform::kMaxPayload + 1);
    ASSERT_EQ(::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL), ssize_t(frame.size()));
    const timeval timeout{20, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    char byte = 0;
    EXPECT_EQ(::recv(fd, &byte, 1, 0), 0);  // closed by the daemon
    ::close(fd);

    Unit unit(path);
    EXPECT_EQ(unit.Node(), 0u);
}

}  // namespace
