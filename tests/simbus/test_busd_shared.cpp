// Shared receive memory between kestrix-busd and a program: frames identical to the socket
// path, memory the daemon must refuse, and the daemon letting go of the memory it mapped.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "platform/AsyncRequest.h"
#include "platform/DeviceHandle.h"
#include "platform/Event.h"
#include "platform/SharedBuffer.h"
#include "platform/UniqueFd.h"
#include "tests/simbus/BusRecords.h"
#include "tests/support/SimulatedBus.h"

namespace {

using namespace simbustest;
using namespace platform;
using testsupport::SimulatedBus;

constexpr auto kGenerous = std::chrono::seconds(20);
// What the daemon needs: one slot per descriptor and two more.
constexpr std::size_t kSharedBytes = 3 * std::size_t{kVgaFrameBytes};

// One connection to the camera unit, listening on channel 0 with one VGA frame buffer.
class Listener {
public:
    explicit Listener(const std::string& path) {
        EXPECT_EQ(m_handle.Open(path), kErrorSuccess) << path;
        m_attach.SetEvent(&m_attachDone);
    }

    std::uint32_t Call(std::uint32_t code, Bytes& buffer, std::uint32_t* returned = nullptr) {
        // Bounded, so that a frame that never comes fails the test instead of hanging it.
        return m_handle.Request(code, buffer, std::uint32_t(buffer.size()),
                                std::uint32_t(buffer.size()), returned,
                                std::chrono::milliseconds(kGenerous));
    }

    // Programs VGA YUV 4:2:2 on channel 0 and has the camera send continuously, or one frame
    // per Shot.
    void StartCamera(bool continuous = true) {
        const std::uint64_t base = ReadCommandBase(
            [this](std::uint32_t code, Bytes& buffer) { return Call(code, buffer); });
        ASSERT_NE(base, 0u);
        Bytes node = Words({0, 0});
        ASSERT_EQ(Call(simbus::kIoctlNodeAddress, node), kErrorSuccess);
        m_node = NodeAddress(Word(node, 4) & 63);
        m_base = base;
        const std::pair<std::uint32_t, std::uint32_t> writes[] = {{kCurFormat, 0},
                                                                  {kCurMode, 3u << 29},
                                                                  {kCurFrameRate, 3u << 29},
                                                                  {kIsoChannelSpeed, 2u << 24}};
        for (const auto& [offset, value] : writes) ASSERT_EQ(Write(offset, value), kErrorSuccess);
        if (continuous) {
            ASSERT_EQ(Write(kIsoEnable, 0x8000'0000), kErrorSuccess);
        }
    }

    void Shot() { ASSERT_EQ(Write(kShot, 0x8000'0000), kErrorSuccess); }

    std::uint32_t AllocateResource() {
        Bytes record = Resources(0x0D, 0, kVgaPacketBytes, 1, kVgaFrameBytes);
        EXPECT_EQ(Call(simbus::kIoctlAllocateResources, record), kErrorSuccess);
        m_resource = Word(record, 28);
        return m_resource;
    }

    // Issues the attach, passing memoryFd when valid; kErrorIoPending when it pends.
    std::uint32_t Attach(int memoryFd = -1, bool dataAreas = true) {
        m_attachRecord = simbustest::Attach(
            m_resource, {{simbus::kDescriptorSync, kVgaFrameBytes, kVgaPacketBytes, 1, 0}}, {},
            dataAreas);
        const auto size = std::uint32_t(m_attachRecord.size());
        return m_handle.Issue(simbus::kIoctlAttachBuffers, m_attachRecord, size, size, m_attach,
                              memoryFd);
    }
    // The attach's final status, once it came, and how many bytes its answer had.
    std::uint32_t AttachResult(std::uint32_t* returned = nullptr) {
        if (!m_attachDone.WaitFor(std::chrono::milliseconds(kGenerous))) return kErrorIoIncomplete;
        return m_handle.GetResult(m_attach, returned, false);
    }

    // A resource that receives into shared memory (or through the socket without it).
    void Listen(SharedBuffer* memory, bool dataAreas = true) {
        m_memory = memory;
        AllocateResource();
        ASSERT_EQ(Attach(memory ? memory->Fd() : -1, dataAreas), kErrorIoPending);
        Bytes start = Words({m_resource, 0, 0});
        ASSERT_EQ(Call(simbus::kIoctlListen, start), kErrorSuccess);
    }

    // The next frame's bytes, copied out before the next read hands its slot back.
    std::optional<Bytes> NextFrame() {
        Bytes record = IsochRead(m_resource, kVgaFrameBytes);
        std::uint32_t returned = 0;
        if (Call(simbus::kIoctlIsochRead, record, &returned) != kErrorSuccess) return std::nullopt;
        const auto length = std::int32_t(Word(record, 4));
        if (length < 0) return std::nullopt;
        if (m_memory == nullptr) {
            EXPECT_EQ(returned, 16u + std::uint32_t(length));
            return Bytes(record.begin() + 16, record.begin() + 16 + length);
        }
        EXPECT_EQ(returned, 16u);  // the bytes are in place already
        const auto bytes = m_memory->Bytes().subspan(Word(record, 12), std::size_t(length));
        return Bytes(bytes.begin(), bytes.end());
    }

    void Detach() {
        Bytes record = Words({m_resource, 1, 0});
        EXPECT_EQ(Call(simbus::kIoctlDetachBuffers, record), kErrorSuccess);
    }

    DeviceHandle& Handle() { return m_handle; }
    std::uint32_t Resource() const { return m_resource; }

private:
    std::uint32_t Write(std::uint32_t offset, std::uint32_t value) {
        Bytes write = AsyncWrite(m_node, m_base + offset, {value});
        return Call(simbus::kIoctlAsyncWrite, write);
    }

    DeviceHandle m_handle;
    std::uint16_t m_node = 0;
    std::uint64_t m_base = 0;
    std::uint32_t m_resource = 0;
    Bytes m_attachRecord;
    Event m_attachDone{EventMode::ManualReset};
    AsyncRequest m_attach;
    SharedBuffer* m_memory = nullptr;
};

std::size_t CountLines(const std::string& file, const std::string& needle) {
    std::ifstream in(file);
    std::size_t count = 0;
    for (std::string line; std::getline(in, line);) count += line.find(needle) != line.npos;
    return count;
}

std::size_t SharedMappings(pid_t pid) {
    return CountLines("/proc/" + std::to_string(pid) + "/maps", "memfd:");
}

std::size_t OpenFds(pid_t pid) {
    const std::filesystem::path dir = "/proc/" + std::to_string(pid) + "/fd";
    return std::size_t(std::distance(std::filesystem::directory_iterator(dir), {}));
}

// Waits (bounded) until the daemon holds `count` shared mappings.
bool WaitForMappings(pid_t pid, std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + kGenerous;
    while (SharedMappings(pid) != count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A listener through the socket and one into shared memory of the given size, on the same
// stream, so the same frame reaches both; the camera sends one frame per shot.
class BusdSharedStream : public ::testing::Test {
protected:
    void Listen(std::size_t memoryBytes) {
        ASSERT_TRUE(m_bus.IsRunning());
        const std::string path = m_bus.UnitPaths().at(0);
        m_memory = SharedBuffer::Create(memoryBytes);
        ASSERT_TRUE(m_memory);
        m_socket.emplace(path);
        m_shared.emplace(path);
        m_socket->Listen(nullptr);
        m_shared->Listen(m_memory.get());
        m_memory->CloseFd();
        m_shared->StartCamera(false);
    }

    SimulatedBus m_bus{1, 4.0};
    std::unique_ptr<SharedBuffer> m_memory;
    std::optional<Listener> m_socket;
    std::optional<Listener> m_shared;
};

TEST_F(BusdSharedStream, DeliversTheSameFramesAsTheSocket) {
    ASSERT_NO_FATAL_FAILURE(Listen(kSharedBytes));
    // Each resource holds its frame until read, however late the reader.
    for (int shot = 0; shot < 3; ++shot) {
        m_shared->Shot();
        const auto fromSocket = m_socket->NextFrame();
        const auto fromMemory = m_shared->NextFrame();
        ASSERT_TRUE(fromSocket && fromMemory);
        EXPECT_EQ(LoadBE32(fromMemory->data()), std::uint32_t(shot));
        EXPECT_EQ(*fromSocket, *fromMemory) << "shot " << shot;
    }
}

// Each slot beyond one per descriptor and two holds one more filled frame while the program
// does not read, as a longer DMA ring would; past that the oldest frame goes.
TEST_F(BusdSharedStream, MoreMemoryHoldsMoreFramesUntilRead) {
    ASSERT_NO_FATAL_FAILURE(Listen(kSharedBytes + 3 * std::size_t{kVgaFrameBytes}));
    // The socket listener reading a frame proves that it reached both resources.
    for (int shot = 0; shot < 5; ++shot) {
        m_shared->Shot();
        ASSERT_TRUE(m_socket->NextFrame());
    }
    for (std::uint32_t expected = 1; expected <= 4; ++expected) {
        const auto frame = m_shared->NextFrame();
        ASSERT_TRUE(frame);
        EXPECT_EQ(LoadBE32(frame->data()), expected);
    }
}

TEST(BusdShared, RefusesUnfitMemoryAndServesOn) {
    SimulatedBus bus(1, 4.0);
    ASSERT_TRUE(bus.IsRunning());
    const pid_t daemon = bus.Pid();
    const std::size_t daemonFds = OpenFds(daemon);

    const auto memfd = [](std::size_t bytes, unsigned flags, int seals) {
        UniqueFd fd(::memfd_create("test", MFD_CLOEXEC | flags));
        EXPECT_EQ(::ftruncate(fd.Get(), off_t(bytes)), 0);
        if (seals != 0) {
            EXPECT_EQ(::fcntl(fd.Get(), F_ADD_SEALS, seals), 0);
        }
        return fd;
    };
    const std::filesystem::path file = bus.Dir() / "plain-file";
    std::ofstream(file).close();
    std::filesystem::resize_file(file, kSharedBytes);
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    UniqueFd pipeRead(pipeFds[0]), pipeWrite(pipeFds[1]);

    std::vector<std::pair<const char*, UniqueFd>> unfit;
    unfit.emplace_back("too small", memfd(kVgaFrameBytes, MFD_ALLOW_SEALING, 0));
    unfit.emplace_back("sealed against writes",
                       memfd(kSharedBytes, MFD_ALLOW_SEALING, F_SEAL_WRITE));
    unfit.emplace_back("cannot be sealed", memfd(kSharedBytes, 0, 0));
    unfit.emplace_back("a plain file", UniqueFd(::open(file.c_str(), O_RDWR | O_CLOEXEC)));
    unfit.emplace_back("a pipe", std::move(pipeRead));
    Listener unit(bus.UnitPaths().at(0));
    unit.AllocateResource();
    for (auto& [what, fd] : unfit) {
        ASSERT_TRUE(fd) << what;
        ASSERT_EQ(unit.Attach(fd.Get()), kErrorIoPending) << what;
        EXPECT_EQ(unit.AttachResult(), kErrorInvalidParameter) << what;
    }

    // Fit memory from a careless creator is sealed by the daemon before it maps it, so the
    // creator cannot pull the pages away under the daemon.
    UniqueFd unsealed = memfd(kSharedBytes, MFD_ALLOW_SEALING, 0);
    ASSERT_EQ(unit.Attach(unsealed.Get()), kErrorIoPending);
    Bytes node = Words({0, 0});  // answered after the attach was handled
    ASSERT_EQ(unit.Call(simbus::kIoctlNodeAddress, node), kErrorSuccess);
    EXPECT_NE(::ftruncate(unsealed.Get(), 0), 0);
    unit.Handle().CancelAll();

    // The daemon kept nothing it refused and still serves: a plain attach delivers frames.
    Listener plain(bus.UnitPaths().at(0));
    plain.Listen(nullptr);
    plain.StartCamera();
    EXPECT_TRUE(plain.NextFrame());
    EXPECT_EQ(SharedMappings(daemon), 0u);
    EXPECT_EQ(OpenFds(daemon), daemonFds + 2);  // the two connections
}

// Into shared memory the record need not carry a frame's room: 68 bytes instead of 600 KB.
// Without memory to take the data, or claiming room it does not send, it is refused.
TEST(BusdShared, AnAttachWithoutDataAreasNeedsTheMemoryItsDataGoTo) {
    SimulatedBus bus(1, 4.0);
    ASSERT_TRUE(bus.IsRunning());
    const auto memory = SharedBuffer::Create(kSharedBytes);
    ASSERT_TRUE(memory);
    Listener unit(bus.UnitPaths().at(0));
    unit.AllocateResource();
    ASSERT_EQ(unit.Attach(-1, false), kErrorIoPending);
    EXPECT_EQ(unit.AttachResult(), kErrorInvalidParameter) << "no memory came with it";

    // The record of a shared attach without its data area, but not flagged as such.
    Bytes claimsData = simbustest::Attach(
        unit.Resource(), {{simbus::kDescriptorSync, kVgaFrameBytes, kVgaPacketBytes, 1, 0}}, {},
        false);
    StoreLE32(&claimsData[12], 0);
    AsyncRequest request;
    std::uint32_t status = unit.Handle().Issue(
        simbus::kIoctlAttachBuffers, claimsData, std::uint32_t(claimsData.size()),
        std::uint32_t(claimsData.size()), request, memory->Fd());
    if (status == kErrorIoPending) status = unit.Handle().GetResult(request, nullptr, true);
    EXPECT_EQ(status, kErrorInvalidParameter);

    Listener shared(bus.UnitPaths().at(0));
    shared.Listen(memory.get(), false);
    shared.StartCamera();
    for (std::uint32_t frame = 0; frame < 2; ++frame) ASSERT_TRUE(shared.NextFrame());
    shared.Detach();
    std::uint32_t answered = 0;
    EXPECT_EQ(shared.AttachResult(&answered), kErrorSuccess);
    EXPECT_EQ(answered, 32u + 36) << "the answer is the record as it came, and no more";
}

// Resident memory of a process in KiB.
long ResidentKib(pid_t pid) {
    std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
    long size = 0, resident = -1;
    statm >> size >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

// KiB of the client's memory that exist, written or populated by anybody.
long PopulatedKib(void* view, std::size_t bytes) {
    const std::size_t page = std::size_t(::sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> resident((bytes + page - 1) / page);
    if (::mincore(view, bytes, resident.data()) != 0) return -1;
    return long(
        std::count_if(resident.begin(), resident.end(), [](unsigned char c) { return c & 1; }) *
        (page / 1024));
}

// A large sparse file costs the daemon only the slots it fills, and those frames arrive.
TEST(BusdShared, TouchesOnlyTheSlotsItFills) {
    SimulatedBus bus(1, 4.0);
    ASSERT_TRUE(bus.IsRunning());
    constexpr std::size_t kSparse = std::size_t{1} << 30;
    UniqueFd fd(::memfd_create("sparse", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    ASSERT_EQ(::ftruncate(fd.Get(), off_t(kSparse)), 0);
    void* view = ::mmap(nullptr, kSparse, PROT_READ, MAP_SHARED, fd.Get(), 0);
    ASSERT_NE(view, MAP_FAILED);
    SharedBuffer memory(static_cast<std::uint8_t*>(view), kSparse, std::move(fd));

    Listener unit(bus.UnitPaths().at(0));
    [[maybe_unused]] const long before = ResidentKib(bus.Pid());
    unit.Listen(&memory);
    // Taken, not touched: 64 slots of a VGA frame would be 38 MiB. The memory's own pages tell
    // also under ThreadSanitizer, whose shadow memory inflates the daemon's resident size.
    const long populated = PopulatedKib(view, kSparse);
    EXPECT_TRUE(populated >= 0 && populated < 1024) << populated << " KiB";
#if !defined(__SANITIZE_THREAD__)
    EXPECT_LT(ResidentKib(bus.Pid()) - before, 8 * 1024);
#endif
    unit.StartCamera();
    for (std::uint32_t frame = 0; frame < 3; ++frame) ASSERT_TRUE(unit.NextFrame());
}

TEST(BusdShared, LetsTheMemoryGoOnDetachAndOnDisconnect) {
    SimulatedBus bus(1, 4.0);
    ASSERT_TRUE(bus.IsRunning());
    const pid_t daemon = bus.Pid();
    const std::size_t ownFds = OpenFds(::getpid());
    const std::size_t ownMappings = SharedMappings(::getpid());
    {
        auto memory = SharedBuffer::Create(kSharedBytes);
        ASSERT_TRUE(memory);
        Listener unit(bus.UnitPaths().at(0));
        unit.Listen(memory.get());
        memory->CloseFd();
        unit.StartCamera();
        ASSERT_TRUE(unit.NextFrame());
        EXPECT_EQ(SharedMappings(daemon), 1u);
        unit.Detach();
        EXPECT_EQ(unit.AttachResult(), kErrorSuccess);
        EXPECT_EQ(SharedMappings(daemon), 0u);

        memory.reset();
        EXPECT_EQ(SharedMappings(::getpid()), ownMappings);
    }
    {
        auto memory = SharedBuffer::Create(kSharedBytes);
        ASSERT_TRUE(memory);
        Listener unit(bus.UnitPaths().at(0));
        unit.Listen(memory.get());
        memory->CloseFd();
        ASSERT_TRUE(unit.NextFrame());
        EXPECT_EQ(SharedMappings(daemon), 1u);
    }
    EXPECT_TRUE(WaitForMappings(daemon, 0));
    EXPECT_EQ(OpenFds(::getpid()), ownFds);
    EXPECT_EQ(SharedMappings(::getpid()), ownMappings);
}

}  // namespace
