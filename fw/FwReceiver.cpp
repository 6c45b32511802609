// Isochronous reception through a kernel receive context.
#include "fw/FwReceiver.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "driver/PacketRun.h"
#include "driver/RequestCodes.h"
#include "fw/FwHeaders.h"
#include "platform/ByteOrder.h"
#include "platform/Log.h"

namespace fw {
namespace {

// Header bytes the kernel hands back per packet: the isochronous header and the timestamp.
constexpr std::uint32_t kHeaderBytes = 8;
// The kernel's ring holds a few frames, so that a busy daemon loses none.
constexpr std::uint32_t kRingFrames = 4;
constexpr std::size_t kMostRingBytes = 64u << 20;
constexpr std::uint32_t kFewestRingPackets = 64;

std::string Reason(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

FwReceiver::FwReceiver(KernelApi& kernel, driver::IsochResource& resource)
    : m_kernel(kernel), m_resource(resource) {}

FwReceiver::~FwReceiver() {
    if (m_fd) {
        fw_cdev_stop_iso stop{};
        stop.handle = m_context;
        m_kernel.Ioctl(m_fd.Get(), FW_CDEV_IOC_STOP_ISO, &stop);
    }
    if (m_ring != nullptr) m_kernel.Unmap(m_ring, m_mapBytes);
}

bool FwReceiver::Start(const std::string& path, std::string& error) {
    const driver::ResourceRecord& setup = m_resource.Setup();
    m_slotBytes = setup.bytesPerPacket;
    // Packets per frame, from the buffer the resource fills next as the client laid it out.
    const bool strip = (setup.flags & driver::kResourceStripHeader) != 0;
    const bool packetBased = (setup.flags & driver::kResourcePacketBased) != 0;
    const std::uint32_t perPacket = m_slotBytes + (strip ? 0 : 4);
    const driver::DescriptorRecord* next = m_resource.NextBuffer();
    const std::uint32_t length = next != nullptr ? next->length : 0;
    // Frame starts are waited for only where the client's buffers hold whole frames; other
    // buffers take the stream as it comes.
    m_waitForFrames =
        next != nullptr && (next->flags & ~driver::kDescriptorMarker) == driver::kDescriptorSync;
    m_framePackets = std::max<std::uint32_t>(
        1, packetBased ? length / perPacket : (length + perPacket - 1) / perPacket);
    m_ringPackets = m_framePackets * kRingFrames;
    while (m_ringPackets > m_framePackets &&
           std::size_t{m_ringPackets} * m_slotBytes > kMostRingBytes)
        m_ringPackets -= m_framePackets;
    while (m_ringPackets < kFewestRingPackets) m_ringPackets += m_framePackets;
    const std::size_t page = std::size_t(::sysconf(_SC_PAGESIZE));
    m_mapBytes = (std::size_t{m_ringPackets} * m_slotBytes + page - 1) / page * page;

    m_fd = KernelFd(m_kernel, m_kernel.Open(path));
    if (!m_fd) return error = Reason(("cannot open " + path).c_str()), false;
    fw_cdev_get_info info{};
    info.version = kAbiVersion;
    if (m_kernel.Ioctl(m_fd.Get(), FW_CDEV_IOC_GET_INFO, &info) < 0)
        return error = Reason("cannot read the node's information"), false;
    fw_cdev_create_iso_context create{};
    create.type = FW_CDEV_ISO_CONTEXT_RECEIVE;
    create.header_size = kHeaderBytes;
    create.channel = setup.channel;
    if (m_kernel.Ioctl(m_fd.Get(), FW_CDEV_IOC_CREATE_ISO_CONTEXT, &create) < 0)
        return error = Reason("no isochronous receive context"), false;
    m_context = create.handle;
    m_ring = static_cast<std::uint8_t*>(m_kernel.Map(m_fd.Get(), m_mapBytes));
    if (m_ring == nullptr) return error = Reason("cannot map the receive buffer"), false;
    Queue();
    if (m_queued == 0) return error = Reason("the kernel takes no packets to receive"), false;
    fw_cdev_start_iso start{};
    start.cycle = -1;
    start.sync = driver::kFrameStartSy;
    start.tags = FW_CDEV_ISO_CONTEXT_MATCH_ALL_TAGS;
    start.handle = m_context;
    if (m_kernel.Ioctl(m_fd.Get(), FW_CDEV_IOC_START_ISO, &start) < 0)
        return error = Reason("cannot start reception"), false;
    return true;
}

void FwReceiver::Queue() {
    std::vector<std::uint32_t> controls;
    while (m_queued - m_completed < m_ringPackets) {
        // One run of the ring at a time: a queued region is contiguous in the mapping.
        const std::uint32_t at = std::uint32_t(m_queued % m_ringPackets);
        const std::uint32_t free = m_ringPackets - std::uint32_t(m_queued - m_completed);
        const std::uint32_t count = std::min(free, m_ringPackets - at);
        controls.resize(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t inFrame = (at + i) % m_framePackets;
            controls[i] = FW_CDEV_ISO_PAYLOAD_LENGTH(m_slotBytes) |
                          FW_CDEV_ISO_HEADER_LENGTH(kHeaderBytes) |
                          (inFrame == 0 && m_waitForFrames ? FW_CDEV_ISO_SYNC : 0u) |
                          (inFrame + 1 == m_framePackets ? FW_CDEV_ISO_INTERRUPT : 0u);
        }
        fw_cdev_queue_iso queue{};
        queue.packets = reinterpret_cast<std::uintptr_t>(controls.data());
        queue.data = reinterpret_cast<std::uintptr_t>(m_ring + std::size_t{at} * m_slotBytes);
        queue.size = count * std::uint32_t(sizeof(std::uint32_t));
        queue.handle = m_context;
        // The kernel may take part of the run; it says how much is left.
        const std::uint32_t before = queue.size;
        const int result = m_kernel.Ioctl(m_fd.Get(), FW_CDEV_IOC_QUEUE_ISO, &queue);
        const std::uint32_t taken = (before - std::min(before, queue.size)) / 4;
        m_queued += taken;
        if (result < 0 || taken < count) {
            if (result < 0) {
                KX_LOG(Simbus, Warn) << Reason("queueing receive packets");
            }
            return;
        }
    }
}

bool FwReceiver::ReadEvents() {
    alignas(8) std::uint8_t event[16384];
    for (;;) {
        const ssize_t n = m_kernel.Read(m_fd.Get(), event, sizeof event);
        if (n < 0) return errno == EAGAIN || errno == EINTR;
        if (n < ssize_t(sizeof(fw_cdev_event_common))) return n != 0;
        fw_cdev_event_common common;
        std::memcpy(&common, event, sizeof common);
        if (common.type == FW_CDEV_EVENT_ISO_INTERRUPT) OnInterrupt(event, std::size_t(n));
    }
}

void FwReceiver::OnInterrupt(const std::uint8_t* event, std::size_t bytes) {
    constexpr std::size_t fixed = offsetof(fw_cdev_event_iso_interrupt, header);
    if (bytes < fixed) return;
    fw_cdev_event_iso_interrupt interrupt;
    std::memcpy(&interrupt, event, fixed);
    m_lastCycle = interrupt.cycle;
    const std::size_t headers = std::min<std::size_t>(interrupt.header_length, bytes - fixed);
    for (std::size_t at = 0; at + kHeaderBytes <= headers; at += kHeaderBytes) {
        // The kernel gives both quadlets in bus order.
        const std::uint32_t header = platform::LoadBE32(event + fixed + at);
        const std::uint32_t stamp = platform::LoadBE32(event + fixed + at + 4) & 0xFFFF;
        const std::uint32_t slot = std::uint32_t(m_completed % m_ringPackets);
        TakePacket(header, BusCycle(stamp), m_ring + std::size_t{slot} * m_slotBytes);
        ++m_completed;
    }
    Queue();
}

std::uint64_t FwReceiver::BusCycle(std::uint32_t stamp) {
    // The stamp holds 3 bits of seconds and 13 of cycles, so it wraps every 8 s; counting on
    // from the last packet's keeps the frames' distances right for gaps shorter than that.
    constexpr std::uint32_t kStampWrap = 8 * kCyclesPerSecond;
    // The cycle time clients get wraps at 128 s, a whole number of the stamp's wraps.
    constexpr std::uint64_t kClientWrap = 128 * kCyclesPerSecond;
    const std::uint32_t cycles =
        (stamp >> 13) * kCyclesPerSecond + (stamp & 0x1FFF) % kCyclesPerSecond;
    if (m_packetsSeen == 0) return m_busCycle = cycles;
    const std::uint32_t ahead = (cycles + kStampWrap - m_busCycle % kStampWrap) % kStampWrap;
    if (m_afterReset > 0 && ahead > kStampWrap / 2) {
        m_afterReset = 0;
        return m_busCycle += kClientWrap - (kStampWrap - ahead);
    }
    m_afterReset -= std::min(m_afterReset, ahead);
    return m_busCycle += ahead;
}

void FwReceiver::TakePacket(std::uint32_t header, std::uint64_t cycle,
                            const std::uint8_t* payload) {
    ++m_packetsSeen;
    const std::uint32_t length = std::min(header >> 16, m_slotBytes);
    // Some cameras fill the cycles between frames with empty packets.
    if (length == 0) return;
    driver::PacketRun run;
    run.channel = (header >> 8) & 63;
    run.tag = (header >> 14) & 3;
    run.firstSy = header & 15;
    run.bytesPerPacket = length;
    run.cycle = cycle;
    run.payload = std::span<const std::uint8_t>(payload, length);
    // A frame start while a buffer fills: the rest of the previous frame never came.
    if (run.firstSy == driver::kFrameStartSy && m_resource.PartialFrame()) {
        m_resource.DropPartial();
        ++m_droppedFrames;
    }
    m_resource.Receive(run);
    const bool packetBased = (m_resource.Setup().flags & driver::kResourcePacketBased) != 0;
    // A short packet is a frame's last or a broken one; whatever it left unfilled is lost.
    if (length < m_slotBytes && !packetBased && m_resource.PartialFrame()) {
        ++m_shortPackets;
        m_resource.DropPartial();
        ++m_droppedFrames;
    }
}

std::string FwReceiver::Describe() const {
    char text[200];
    std::snprintf(text, sizeof text,
                  "context on channel %u: %u-packet frames, ring of %u packets of %u B, "
                  "packets %llu, short %llu, dropped frames %llu, cycle %u",
                  m_resource.Setup().channel, m_framePackets, m_ringPackets, m_slotBytes,
                  static_cast<unsigned long long>(m_packetsSeen),
                  static_cast<unsigned long long>(m_shortPackets),
                  static_cast<unsigned long long>(m_droppedFrames), m_lastCycle & 0xFFFF);
    return text;
}

}  // namespace fw
