// The fake kernel's own rules, through raw ioctls as a client of the kernel's ABI sees them:
// what the kernel answers, refuses, queues and reports, and the faults the control socket
// injects. Runs preloaded with two cameras and a device folder (ctest sets the environment).
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "tests/fw/ExpectedFrame.h"
#include "tests/fw/FwClient.h"
#include "tests/support/FakeFwControl.h"

namespace {

using fwtest::FwClient;
using fwtest::kCommand;
using fwtest::kCsr;

constexpr std::uint32_t kOn = 0x8000'0000;

std::string Control(const std::string& command) {
    return fakefw::SendCommand(std::getenv("KESTRIX_FAKEFW_CTL"), command);
}

std::set<std::string> Listed(const char* path) {
    std::set<std::string> names;
    DIR* dir = ::opendir(path);
    if (dir == nullptr) return names;
    while (const dirent* entry = ::readdir(dir))
        if (std::strncmp(entry->d_name, "fw", 2) == 0) names.insert(entry->d_name);
    ::closedir(dir);
    return names;
}

TEST(FakeKernel, ListsItsNodesInDevAndTheDeviceFolder) {
    const std::set<std::string> expected{"fw0", "fw1", "fw2"};
    EXPECT_EQ(Listed("/dev"), expected);
    EXPECT_EQ(Listed(std::getenv("KESTRIX_FW_DEVDIR")), expected);
    FwClient missing("/dev/fw9");
    EXPECT_EQ(missing.Fd(), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(FakeKernel, GetInfoAnswersAsAbiVersion5) {
    FwClient camera("/dev/fw1"), local("/dev/fw0");
    fw_cdev_get_info info{};
    fw_cdev_event_bus_reset reset{}, localReset{};
    std::vector<std::uint32_t> rom;
    ASSERT_EQ(camera.Info(4, info, reset, &rom), 0);
    EXPECT_EQ(info.version, 5u);
    EXPECT_EQ(rom[1], 0x3133'3934u) << "\"1394\" in host order";
    EXPECT_GT(info.rom_length, 40u);
    EXPECT_EQ(info.rom_length % 4, 0u);
    ASSERT_EQ(local.Info(5, info, localReset, &rom), 0);
    EXPECT_EQ(rom[5] >> 16, 1u) << "the local node's root directory has no unit";
    EXPECT_EQ(reset.generation, localReset.generation);
    EXPECT_EQ(reset.local_node_id, localReset.node_id);
    EXPECT_NE(reset.node_id, localReset.node_id);
    EXPECT_EQ(reset.node_id & 0xFFC0, 0xFFC0u);
    EXPECT_EQ(::ioctl(camera.Fd(), FW_CDEV_IOC_GET_SPEED), SCODE_400);
}

TEST(FakeKernel, AsyncRequestsFollowTheKernelsRules) {
    FwClient camera("/dev/fw1");
    fw_cdev_get_info info{};
    fw_cdev_event_bus_reset reset{};
    ASSERT_EQ(camera.Info(5, info, reset), 0);

    // A quadlet comes back big-endian at offset 20 of the event, and again after the struct.
    std::vector<std::uint8_t> raw;
    ASSERT_EQ(camera.Request(TCODE_READ_QUADLET_REQUEST, kCsr + 0x404, 4, {}, &raw),
              unsigned(RCODE_COMPLETE));
    ASSERT_EQ(raw.size(), 28u);
    EXPECT_EQ(platform::LoadBE32(&raw[20]), 0x3133'3934u);
    EXPECT_EQ(platform::LoadBE32(&raw[24]), 0x3133'3934u);
    std::uint32_t value = 0;
    EXPECT_EQ(camera.Read(kCsr + 0x1234'5670, value), unsigned(RCODE_ADDRESS_ERROR));
    camera.SetGeneration(reset.generation + 7);
    EXPECT_EQ(camera.Read(kCommand + 0x400, value), unsigned(RCODE_GENERATION));
    camera.SetGeneration(reset.generation);

    fw_cdev_send_request request{};
    request.tcode = TCODE_STREAM_DATA;
    request.length = 4;
    EXPECT_EQ(::ioctl(camera.Fd(), FW_CDEV_IOC_SEND_REQUEST, &request), -1);
    EXPECT_EQ(errno, EINVAL);
    request.tcode = TCODE_READ_BLOCK_REQUEST;
    request.length = 4100;
    EXPECT_EQ(::ioctl(camera.Fd(), FW_CDEV_IOC_SEND_REQUEST, &request), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(::ioctl(camera.Fd(), TCGETS, &request), -1);
    EXPECT_EQ(errno, ENOTTY);
}

TEST(FakeKernel, InjectedBusyAndGenerationAnswersComeOnceEach) {
    FwClient camera("/dev/fw1");
    fw_cdev_get_info info{};
    fw_cdev_event_bus_reset reset{};
    ASSERT_EQ(camera.Info(5, info, reset), 0);
    ASSERT_EQ(Control("busy 1"), "ok");
    ASSERT_EQ(Control("generation 1"), "ok");
    std::uint32_t value = 0;
    EXPECT_EQ(camera.Read(kCommand + 0x400, value), unsigned(RCODE_BUSY));
    EXPECT_EQ(camera.Read(kCommand + 0x400, value), unsigned(RCODE_GENERATION));
    EXPECT_EQ(camera.Read(kCommand + 0x400, value), unsigned(RCODE_COMPLETE));
    EXPECT_EQ(Control("frobnicate 2").rfind("error", 0), 0u);
}

TEST(FakeKernel, ContextMappingAndQueueFollowTheKernelsRules) {
    FwClient file("/dev/fw1");
    fw_cdev_create_iso_context create{FW_CDEV_ISO_CONTEXT_RECEIVE, 6, 3, 0, 0, 0};
    EXPECT_EQ(::ioctl(file.Fd(), FW_CDEV_IOC_CREATE_ISO_CONTEXT, &create), -1);
    EXPECT_EQ(errno, EINVAL) << "header size not a multiple of 4";
    create.header_size = 8;
    ASSERT_EQ(::ioctl(file.Fd(), FW_CDEV_IOC_CREATE_ISO_CONTEXT, &create), 0);
    EXPECT_EQ(::ioctl(file.Fd(), FW_CDEV_IOC_CREATE_ISO_CONTEXT, &create), -1);
    EXPECT_EQ(errno, EBUSY) << "one context per file";

    const std::size_t bytes = 100 * 4096;
    EXPECT_EQ(::mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE, file.Fd(), 0), MAP_FAILED);
    EXPECT_EQ(errno, EINVAL);
    void* buffer = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, file.Fd(), 0);
    ASSERT_NE(buffer, MAP_FAILED);
    EXPECT_EQ(::mmap(nullptr, bytes, PROT_READ, MAP_SHARED, file.Fd(), 0), MAP_FAILED);
    EXPECT_EQ(errno, EBUSY) << "one mapping per file";

    // Entries of 25 packets each; the ring takes 1000 packets, so 40 of 42 entries.
    std::vector<std::uint32_t> packets(42, FW_CDEV_ISO_HEADER_LENGTH(25 * 8) | 2048);
    fw_cdev_queue_iso queue{reinterpret_cast<std::uintptr_t>(packets.data()),
                            reinterpret_cast<std::uintptr_t>(buffer), 42 * 4, 0};
    EXPECT_EQ(::ioctl(file.Fd(), FW_CDEV_IOC_QUEUE_ISO, &queue), 40);
    EXPECT_EQ(queue.size, 2u * 4);
    EXPECT_EQ(queue.packets, reinterpret_cast<std::uintptr_t>(&packets[40]));
    EXPECT_EQ(queue.data, reinterpret_cast<std::uintptr_t>(buffer) + 40 * 2048);

    std::uint32_t bad = FW_CDEV_ISO_HEADER_LENGTH(4) | 16;
    queue = {reinterpret_cast<std::uintptr_t>(&bad), reinterpret_cast<std::uintptr_t>(buffer), 4, 0};
    EXPECT_EQ(::ioctl(file.Fd(), FW_CDEV_IOC_QUEUE_ISO, &queue), -1);
    EXPECT_EQ(errno, EINVAL) << "header length not a multiple of the header size";
    fw_cdev_start_iso start{-1, 1, 0, 0};
    EXPECT_EQ(::ioctl(file.Fd(), FW_CDEV_IOC_START_ISO, &start), -1);
    EXPECT_EQ(errno, EINVAL) << "no tags";
    ::munmap(buffer, bytes);
}

// One frame of Format 0 mode 0 (160 x 120 YUV 4:4:4) at 30 fps: 240 packets of 240 bytes.
class Reception : public ::testing::Test {
protected:
    static constexpr std::uint32_t kPackets = 240, kPacketBytes = 240, kChannel = 5;
    static constexpr std::size_t kFrameBytes = kPackets * kPacketBytes;

    void SetUp() override {
        fw_cdev_get_info info{};
        fw_cdev_event_bus_reset reset{};
        ASSERT_EQ(m_camera.Info(5, info, reset), 0);
        ASSERT_EQ(m_camera.Write(kCommand, kOn), unsigned(RCODE_COMPLETE));  // INITIALIZE
        for (auto [offset, value] : {std::pair{0x608u, 0u}, {0x604u, 0u}, {0x600u, 4u << 29},
                                     {0x60Cu, kChannel << 28 | 2u << 24}, {0x614u, kOn}})
            ASSERT_EQ(m_camera.Write(kCommand + offset, value), unsigned(RCODE_COMPLETE));
        fw_cdev_create_iso_context create{FW_CDEV_ISO_CONTEXT_RECEIVE, 8, kChannel, 0, 0x77, 0};
        ASSERT_EQ(::ioctl(m_iso.Fd(), FW_CDEV_IOC_CREATE_ISO_CONTEXT, &create), 0);
        m_buffer = static_cast<std::uint8_t*>(
            ::mmap(nullptr, 2 * kFrameBytes, PROT_READ | PROT_WRITE, MAP_SHARED, m_iso.Fd(), 0));
        ASSERT_NE(m_buffer, MAP_FAILED);
        fw_cdev_start_iso start{-1, 1, FW_CDEV_ISO_CONTEXT_MATCH_ALL_TAGS, 0};
        ASSERT_EQ(::ioctl(m_iso.Fd(), FW_CDEV_IOC_START_ISO, &start), 0);
    }
    void TearDown() override {
        m_camera.Write(kCommand + 0x614, 0);
        if (m_buffer != MAP_FAILED) ::munmap(m_buffer, 2 * kFrameBytes);
    }

    // Queues one frame at slot (0 or 1): SYNC on its first packet, INTERRUPT on its last.
    void QueueFrame(unsigned slot) {
        std::vector<std::uint32_t> packets(kPackets, FW_CDEV_ISO_HEADER_LENGTH(8) | kPacketBytes);
        packets.front() |= FW_CDEV_ISO_SYNC;
        packets.back() |= FW_CDEV_ISO_INTERRUPT;
        fw_cdev_queue_iso queue{reinterpret_cast<std::uintptr_t>(packets.data()),
                                reinterpret_cast<std::uintptr_t>(m_buffer + slot * kFrameBytes),
                                kPackets * 4, 0};
        ASSERT_EQ(::ioctl(m_iso.Fd(), FW_CDEV_IOC_QUEUE_ISO, &queue), int(kPackets));
    }
    // The interrupt's headers, after checking the frame in slot is the camera's picture
    // (unless a short packet left part of it unwritten).
    std::vector<std::uint8_t> ReceiveFrame(unsigned slot, std::uint32_t& counter,
                                           bool whole = true) {
        std::vector<std::uint8_t> event = m_iso.Event();
        EXPECT_EQ(FwClient::TypeOf(event), unsigned(FW_CDEV_EVENT_ISO_INTERRUPT));
        if (event.size() < sizeof(fw_cdev_event_iso_interrupt)) return {};
        const std::uint8_t* frame = m_buffer + slot * kFrameBytes;
        counter = platform::LoadBE32(frame);
        const auto expected = fwtest::ExpectedFrame(0, 4, counter, kFrameBytes);
        EXPECT_TRUE(!whole || std::equal(expected.begin(), expected.end(), frame));
        // The headers start at the trailing array, inside the structure's padding.
        constexpr std::size_t at = offsetof(fw_cdev_event_iso_interrupt, header);
        fw_cdev_event_iso_interrupt head;
        std::memcpy(&head, event.data(), sizeof head);
        return {event.begin() + at, event.begin() + at + head.header_length};
    }

    FwClient m_camera{"/dev/fw1"};
    FwClient m_iso{"/dev/fw1"};
    std::uint8_t* m_buffer = static_cast<std::uint8_t*>(MAP_FAILED);
};

TEST_F(Reception, FramesLandInTheMappingWithTheirHeaders) {
    QueueFrame(0);
    std::uint32_t counter = 0;
    const auto headers = ReceiveFrame(0, counter);
    ASSERT_EQ(headers.size(), kPackets * 8);
    // Iso header: length, tag 1, channel, tcode 0xA, sy 1 on the frame's first packet.
    EXPECT_EQ(platform::LoadBE32(&headers[0]), kPacketBytes << 16 | 1 << 14 | kChannel << 8 | 0xA1);
    EXPECT_EQ(platform::LoadBE32(&headers[8]) & 0xF, 0u);
    const std::uint32_t first = platform::LoadBE32(&headers[4]);
    const std::uint32_t last = platform::LoadBE32(&headers[headers.size() - 4]);
    EXPECT_EQ((last - first) & 0x1FFF, kPackets - 1) << "one packet per cycle";
}

TEST_F(Reception, LostAndShortPacketsShowAsTheKernelWouldShowThem) {
    // Counted shots instead of a stream, so that no frame goes out between the steps.
    ASSERT_EQ(m_camera.Write(kCommand + 0x614, 0), unsigned(RCODE_COMPLETE));
    ASSERT_EQ(Control("pass-packets 1"), "ok");
    ASSERT_EQ(Control("short-packets 1"), "ok");
    QueueFrame(0);
    ASSERT_EQ(m_camera.Write(kCommand + 0x61C, kOn), unsigned(RCODE_COMPLETE));  // one shot
    std::uint32_t counter = 0;
    auto headers = ReceiveFrame(0, counter, false);
    ASSERT_FALSE(headers.empty());
    EXPECT_EQ(platform::LoadBE32(&headers[0]) >> 16, kPacketBytes);
    EXPECT_EQ(platform::LoadBE32(&headers[8]) >> 16, kPacketBytes / 2);

    ASSERT_EQ(Control("lose-packets " + std::to_string(kPackets)), "ok");  // a whole frame
    QueueFrame(1);
    ASSERT_EQ(m_camera.Write(kCommand + 0x61C, 0x4000'0002), unsigned(RCODE_COMPLETE));
    std::uint32_t next = 0;
    headers = ReceiveFrame(1, next);
    EXPECT_EQ(next, counter + 2) << "the first of two shots was lost";
}

TEST(FakeKernel, UnplugHangsUpAndPlugTakesTheLowestFreeFile) {
    FwClient gone("/dev/fw1"), other("/dev/fw2");
    fw_cdev_get_info info{};
    fw_cdev_event_bus_reset reset{};
    ASSERT_EQ(gone.Info(5, info, reset), 0);
    ASSERT_EQ(other.Info(5, info, reset), 0);
    ASSERT_EQ(Control("unplug 1"), "ok");

    pollfd hangUp{gone.Fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&hangUp, 1, 0), 1);
    EXPECT_EQ(hangUp.revents & (POLLHUP | POLLERR), POLLHUP | POLLERR);
    char event[64];
    EXPECT_EQ(::read(gone.Fd(), event, sizeof event), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(::ioctl(gone.Fd(), FW_CDEV_IOC_GET_INFO, &info), -1);
    EXPECT_EQ(errno, ENODEV);
    const std::filesystem::path folder = std::getenv("KESTRIX_FW_DEVDIR");
    EXPECT_FALSE(std::filesystem::exists(folder / "fw1"));
    const auto news = other.Event();
    ASSERT_EQ(FwClient::TypeOf(news), unsigned(FW_CDEV_EVENT_BUS_RESET));
    fw_cdev_event_bus_reset after{};
    std::memcpy(&after, news.data(), sizeof after);
    EXPECT_EQ(after.generation, reset.generation + 1);

    ASSERT_EQ(Control("plug 1"), "ok");
    EXPECT_TRUE(std::filesystem::exists(folder / "fw1"));
    FwClient back("/dev/fw1");
    EXPECT_EQ(back.Info(5, info, reset), 0);
}

TEST(FakeKernel, ResourcesLastAcrossResetsAreReportedWhenLostAndFreedAtClose) {
    FwClient local("/dev/fw0");
    fw_cdev_get_info info{};
    fw_cdev_event_bus_reset reset{};
    ASSERT_EQ(local.Info(5, info, reset), 0);
    std::uint32_t available = 0;
    auto bandwidth = [&] {
        local.Read(kCsr + 0x220, available);
        return available;
    };
    const std::uint32_t initial = bandwidth();
    {
        FwClient holder("/dev/fw1");
        ASSERT_EQ(holder.Info(5, info, reset), 0);
        fw_cdev_allocate_iso_resource allocate{0x42, 0xFFFF, 1000, 0};
        ASSERT_EQ(::ioctl(holder.Fd(), FW_CDEV_IOC_ALLOCATE_ISO_RESOURCE, &allocate), 0);
        const auto allocated = holder.Event();
        fw_cdev_event_iso_resource event{};
        std::memcpy(&event, allocated.data(), sizeof event);
        EXPECT_EQ(event.type, unsigned(FW_CDEV_EVENT_ISO_RESOURCE_ALLOCATED));
        EXPECT_EQ(event.channel, 0);
        EXPECT_EQ(event.bandwidth, 1000);
        EXPECT_EQ(bandwidth(), initial - 1000);

        ASSERT_EQ(Control("reset"), "ok");
        EXPECT_EQ(bandwidth(), initial - 1000) << "re-allocated after the reset";
        ASSERT_EQ(Control("bandwidth-after-reset 500"), "ok");
        ASSERT_EQ(Control("reset"), "ok");
        std::vector<std::uint8_t> lost;
        do {
            lost = holder.Event();
        } while (!lost.empty() && FwClient::TypeOf(lost) == FW_CDEV_EVENT_BUS_RESET);
        ASSERT_EQ(FwClient::TypeOf(lost), unsigned(FW_CDEV_EVENT_ISO_RESOURCE_DEALLOCATED));
        std::memcpy(&event, lost.data(), sizeof event);
        EXPECT_EQ(event.closure, 0x42u);
        EXPECT_LT(event.channel, 0);
        ASSERT_EQ(Control("reset"), "ok");
        allocate.bandwidth = 300;
        ASSERT_EQ(::ioctl(holder.Fd(), FW_CDEV_IOC_ALLOCATE_ISO_RESOURCE, &allocate), 0);
        EXPECT_EQ(bandwidth(), initial - 300);
    }
    EXPECT_EQ(bandwidth(), initial) << "closing the file frees what it held";
}

}  // namespace
