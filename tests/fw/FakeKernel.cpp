// The fake kernel's files, transactions and isochronous packets.
#include "FakeKernel.h"

#include <sys/eventfd.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <span>

#include "driver/RequestCodes.h"
#include "fw/FwHeaders.h"
#include "platform/ByteOrder.h"
#include "platform/CycleTimerReading.h"

namespace fwtest {
namespace {

constexpr std::uint64_t kRomAddress = 0xFFFF'F000'0400;
constexpr std::uint32_t kBandwidthBudget = 4915;

// An event as the kernel queues it: a trailing array starts at its member's offset, inside the
// structure's padding.
template <typename Event>
std::vector<std::uint8_t> Bytes(const Event& event, std::size_t fixed = sizeof(Event),
                                std::span<const std::uint8_t> tail = {}) {
    std::vector<std::uint8_t> bytes(std::max(sizeof event, fixed + tail.size()));
    std::memcpy(bytes.data(), &event, sizeof event);
    std::copy(tail.begin(), tail.end(), bytes.begin() + std::ptrdiff_t(fixed));
    return bytes;
}

}  // namespace

FakeKernel::FakeKernel(unsigned cameras) {
    m_nodes.resize(cameras + 1);
    for (unsigned i = 0; i < m_nodes.size(); ++i) {
        FakeNode& node = m_nodes[i];
        node.id = 0xFFC0 | i;
        if (i == 0) continue;
        node.camera = simbus::Node::MakeCamera(i - 1, simbus::kSpeed400);
        std::uint32_t quadlet = 0;
        for (std::uint64_t at = 0;
             node.camera->Read(kRomAddress + at, quadlet) == simbus::CameraModel::Access::Ok;
             at += 4) {
            // In host order, as the kernel keeps it.
            node.rom.resize(at + 4);
            std::memcpy(&node.rom[at], &quadlet, 4);
        }
    }
}

FakeKernel::~FakeKernel() {
    for (const auto& [fd, file] : m_files) ::close(fd);
}

int FakeKernel::Open(const std::string& path) {
    const std::string prefix = std::string(kDir) + "/fw";
    if (!path.starts_with(prefix)) return errno = ENOENT, -1;
    const unsigned node = unsigned(std::stoul(path.substr(prefix.size())));
    if (node >= m_nodes.size() || !m_nodes[node].present) return errno = ENOENT, -1;
    if (m_nodes[node].denied) return errno = EACCES, -1;
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_files[fd].node = node;
    return fd;
}

void FakeKernel::Post(int fd, std::vector<std::uint8_t> event) {
    m_files.at(fd).events.push_back(std::move(event));
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
}

std::vector<std::uint8_t> FakeKernel::ResetEvent(unsigned node) const {
    fw_cdev_event_bus_reset reset{};
    reset.type = FW_CDEV_EVENT_BUS_RESET;
    reset.node_id = m_nodes[node].id;
    reset.local_node_id = m_nodes[0].id;
    reset.generation = m_generation;
    return Bytes(reset);
}

int FakeKernel::Ioctl(int fd, unsigned long request, void* argument) {
    const auto it = m_files.find(fd);
    if (it == m_files.end()) return errno = EBADF, -1;
    File& file = it->second;
    if (!m_nodes[file.node].present) return errno = ENODEV, -1;
    switch (request) {
        case FW_CDEV_IOC_GET_INFO: {
            auto& info = *static_cast<fw_cdev_get_info*>(argument);
            const std::vector<std::uint8_t>& rom = m_nodes[file.node].rom;
            if (info.rom != 0 && !rom.empty()) {
                std::memcpy(reinterpret_cast<void*>(info.rom), rom.data(),
                            std::min<std::size_t>(info.rom_length, rom.size()));
            }
            info.rom_length = std::uint32_t(rom.size());
            if (info.bus_reset != 0) {
                const auto event = ResetEvent(file.node);
                std::memcpy(reinterpret_cast<void*>(info.bus_reset), event.data(), event.size());
            }
            return 0;
        }
        case FW_CDEV_IOC_SEND_REQUEST:
            return SendRequest(fd, file, argument);
        case FW_CDEV_IOC_SEND_BROADCAST_REQUEST:
            return Broadcast(argument);
        case FW_CDEV_IOC_GET_SPEED:
            return SCODE_400;
        case FW_CDEV_IOC_ALLOCATE_ISO_RESOURCE:
            return Allocate(fd, file, argument);
        case FW_CDEV_IOC_DEALLOCATE_ISO_RESOURCE: {
            fw_cdev_event_iso_resource event{};
            event.type = FW_CDEV_EVENT_ISO_RESOURCE_DEALLOCATED;
            event.handle = static_cast<fw_cdev_deallocate*>(argument)->handle;
            event.channel = -1;
            if (const auto held = file.bandwidth.find(event.handle); held != file.bandwidth.end()) {
                m_bandwidth -= held->second;
                file.bandwidth.erase(held);
            }
            Post(fd, Bytes(event));
            return 0;
        }
        case FW_CDEV_IOC_CREATE_ISO_CONTEXT: {
            if (file.context) return errno = EBUSY, -1;
            auto& create = *static_cast<fw_cdev_create_iso_context*>(argument);
            file.context = true;
            file.channel = create.channel;
            create.handle = 0;
            return 0;
        }
        case FW_CDEV_IOC_QUEUE_ISO: {
            auto& queue = *static_cast<fw_cdev_queue_iso*>(argument);
            const auto* controls = reinterpret_cast<const std::uint32_t*>(queue.packets);
            auto* data = reinterpret_cast<std::uint8_t*>(queue.data);
            for (std::size_t i = 0; i < queue.size / 4; ++i) {
                file.queued.push_back({controls[i], data});
                data += controls[i] & 0xFFFF;
            }
            queue.packets += queue.size;
            queue.data = reinterpret_cast<std::uintptr_t>(data);
            queue.size = 0;
            return 0;
        }
        case FW_CDEV_IOC_START_ISO:
            file.started = true;
            return 0;
        case FW_CDEV_IOC_STOP_ISO:
            file.started = false;
            return 0;
        case FW_CDEV_IOC_GET_CYCLE_TIMER2: {
            // The timer stands at the cycle of the next packet; the clock asked for beside it.
            auto& timer = *static_cast<fw_cdev_get_cycle_timer2*>(argument);
            timespec now{};
            if (::clock_gettime(timer.clk_id, &now) != 0) return errno = EINVAL, -1;
            timer.tv_sec = now.tv_sec;
            timer.tv_nsec = std::int32_t(now.tv_nsec);
            timer.cycle_timer = platform::CycleTimerOf(m_cycle * platform::kTicksPerCycle);
            return 0;
        }
        default:
            return errno = EINVAL, -1;
    }
}

int FakeKernel::SendRequest(int fd, File& file, const void* argument) {
    const auto& send = *static_cast<const fw_cdev_send_request*>(argument);
    ++m_transactions;
    fw_cdev_event_response response{};
    response.closure = send.closure;
    response.type = FW_CDEV_EVENT_RESPONSE;
    std::vector<std::uint8_t> data;
    simbus::Node& camera = *m_nodes[file.node].camera;
    if (send.generation != m_generation) {
        response.rcode = RCODE_GENERATION;
    } else if (m_busy > 0) {
        --m_busy;
        response.rcode = RCODE_BUSY;
    } else {
        const bool write =
            send.tcode == TCODE_WRITE_QUADLET_REQUEST || send.tcode == TCODE_WRITE_BLOCK_REQUEST;
        const auto* in = reinterpret_cast<const std::uint8_t*>(send.data);
        for (std::uint32_t at = 0; at < send.length && response.rcode == RCODE_COMPLETE; at += 4) {
            std::uint32_t value = 0;
            const auto access = write ? camera.Write(send.offset + at, platform::LoadBE32(in + at))
                                      : camera.Read(send.offset + at, value);
            if (access != simbus::CameraModel::Access::Ok) response.rcode = RCODE_ADDRESS_ERROR;
            data.resize(at + 4);
            platform::StoreBE32(&data[at], value);
        }
        if (write || response.rcode != RCODE_COMPLETE) data.clear();
    }
    response.length = std::uint32_t(data.size());
    Post(fd, Bytes(response, offsetof(fw_cdev_event_response, data), data));
    return 0;
}

int FakeKernel::Broadcast(const void* argument) {
    const auto& send = *static_cast<const fw_cdev_send_request*>(argument);
    if (send.tcode != TCODE_WRITE_QUADLET_REQUEST && send.tcode != TCODE_WRITE_BLOCK_REQUEST)
        return errno = EINVAL, -1;
    if (send.offset < 0xFFFF'F000'0800) return errno = EACCES, -1;  // units space only
    ++m_broadcasts;
    // Sent in a generation that ended, it goes nowhere; no response event comes either way.
    if (send.generation != m_generation) return 0;
    const auto* in = reinterpret_cast<const std::uint8_t*>(send.data);
    for (FakeNode& node : m_nodes) {
        if (!node.camera || !node.present) continue;
        for (std::uint32_t at = 0; at < send.length; at += 4)
            node.camera->Write(send.offset + at, platform::LoadBE32(in + at));
    }
    return 0;
}

int FakeKernel::Allocate(int fd, File& file, void* argument) {
    auto& allocate = *static_cast<fw_cdev_allocate_iso_resource*>(argument);
    fw_cdev_event_iso_resource event{};
    event.type = FW_CDEV_EVENT_ISO_RESOURCE_ALLOCATED;
    event.closure = allocate.closure;
    event.handle = allocate.handle = m_nextHandle++;
    // Bandwidth that fits; the lowest channel asked for.
    if (allocate.bandwidth != 0 && m_bandwidth + allocate.bandwidth <= kBandwidthBudget) {
        m_bandwidth += allocate.bandwidth;
        event.bandwidth = std::int32_t(allocate.bandwidth);
        file.bandwidth[event.handle] = allocate.bandwidth;
    }
    event.channel = allocate.channels != 0 ? __builtin_ctzll(allocate.channels) : -1;
    Post(fd, Bytes(event));
    return 0;
}

ssize_t FakeKernel::Read(int fd, void* buffer, std::size_t bytes) {
    const auto it = m_files.find(fd);
    if (it == m_files.end()) return errno = EBADF, -1;
    File& file = it->second;
    if (!m_nodes[file.node].present) return errno = ENODEV, -1;
    if (file.events.empty()) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(fd, &count, sizeof count);
        return errno = EAGAIN, -1;
    }
    const std::vector<std::uint8_t> event = std::move(file.events.front());
    file.events.pop_front();
    const std::size_t n = std::min(bytes, event.size());
    std::memcpy(buffer, event.data(), n);
    return ssize_t(n);
}

void* FakeKernel::Map(int fd, std::size_t bytes) {
    void* address =
        ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (address == MAP_FAILED) return nullptr;
    m_files.at(fd).map = static_cast<std::uint8_t*>(address);
    return address;
}

void FakeKernel::Unmap(void* address, std::size_t bytes) { ::munmap(address, bytes); }

void FakeKernel::Close(int fd) {
    const auto it = m_files.find(fd);
    if (it == m_files.end()) return;
    // What the file held goes with it.
    for (const auto& [handle, units] : it->second.bandwidth) m_bandwidth -= units;
    m_files.erase(it);
    ::close(fd);
}

std::vector<std::string> FakeKernel::List(const std::string& dir) {
    std::vector<std::string> names{".", ".."};
    if (dir != kDir) return {};
    for (unsigned i = 0; i < m_nodes.size(); ++i) {
        if (m_nodes[i].present) names.push_back("fw" + std::to_string(i));
    }
    return names;
}

void FakeKernel::Reset(bool renumber) {
    ++m_generation;
    if (renumber) {
        for (std::size_t i = 1; i < m_nodes.size(); ++i)
            m_nodes[i].id = 0xFFC0 | ((m_nodes[i].id + 1) & 63);
    }
    for (auto& [fd, file] : m_files) {
        if (m_nodes[file.node].present) Post(fd, ResetEvent(file.node));
    }
}

void FakeKernel::Unplug(unsigned node) {
    m_nodes.at(node).present = false;
    for (auto& [fd, file] : m_files) {
        const std::uint64_t one = 1;
        if (file.node == node) [[maybe_unused]]
            const ssize_t n = ::write(fd, &one, sizeof one);
    }
    Reset();
}

std::size_t FakeKernel::Contexts() const {
    return std::size_t(std::count_if(m_files.begin(), m_files.end(),
                                     [](const auto& entry) { return entry.second.context; }));
}

void FakeKernel::SendFrame(unsigned channel, const std::vector<std::uint8_t>& frame,
                           std::uint32_t bytesPerPacket, int lose, int shorten) {
    const std::size_t packets = (frame.size() + bytesPerPacket - 1) / bytesPerPacket;
    for (auto& [fd, file] : m_files) {
        if (!file.context || !file.started || file.channel != channel) continue;
        for (std::size_t i = 0; i < packets; ++i) {
            if (int(i) == lose) continue;
            const unsigned sy = i == 0 ? 1 : 0;
            if (file.queued.empty()) break;  // overrun: the rest is lost
            const Packet packet = file.queued.front();
            // A packet that waits for the frame start lets others go by.
            if ((packet.control & FW_CDEV_ISO_SYNC) && sy != 1) continue;
            file.queued.pop_front();
            std::uint32_t length = std::uint32_t(
                std::min<std::size_t>(bytesPerPacket, frame.size() - i * bytesPerPacket));
            if (int(i) == shorten) length /= 2;
            std::memcpy(packet.data, frame.data() + i * bytesPerPacket,
                        std::min(length, packet.control & 0xFFFF));
            std::uint8_t header[8];
            platform::StoreBE32(header, length << 16 | channel << 8 | 0xA << 4 | sy);
            const std::uint64_t cycle = m_cycle + i;
            platform::StoreBE32(header + 4, std::uint32_t(cycle / 8000 % 8 << 13 | cycle % 8000));
            file.headers.insert(file.headers.end(), header, header + 8);
            if (packet.control & FW_CDEV_ISO_INTERRUPT) {
                fw_cdev_event_iso_interrupt interrupt{};
                interrupt.type = FW_CDEV_EVENT_ISO_INTERRUPT;
                interrupt.cycle = std::uint32_t(i);
                interrupt.header_length = std::uint32_t(file.headers.size());
                Post(fd,
                     Bytes(interrupt, offsetof(fw_cdev_event_iso_interrupt, header), file.headers));
                file.headers.clear();
            }
        }
    }
    m_cycle += packets;
}

}  // namespace fwtest
