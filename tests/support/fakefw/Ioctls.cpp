// The ioctls of a /dev/fw* file, with the kernel's argument checks and error codes.
#include <linux/firewire-constants.h>
#include <sys/ioctl.h>
#include <time.h>

#include <cerrno>
#include <cstring>

#include "tests/support/fakefw/Config.h"
#include "tests/support/fakefw/FakeBus.h"

namespace fakefw {
namespace {

constexpr std::uint32_t kAbiVersion = 5;
constexpr std::uint32_t kBandwidthMax = 4915;
constexpr unsigned kLastIoctl = 0x18;
constexpr unsigned kSpeedS400 = 2;

union Argument {
    fw_cdev_get_info getInfo;
    fw_cdev_send_request sendRequest;
    fw_cdev_initiate_bus_reset initiateBusReset;
    fw_cdev_create_iso_context createIsoContext;
    fw_cdev_queue_iso queueIso;
    fw_cdev_start_iso startIso;
    fw_cdev_stop_iso stopIso;
    fw_cdev_flush_iso flushIso;
    fw_cdev_get_cycle_timer getCycleTimer;
    fw_cdev_get_cycle_timer2 getCycleTimer2;
    fw_cdev_allocate_iso_resource allocateIsoResource;
    fw_cdev_deallocate deallocate;
    fw_cdev_allocate allocate;
    fw_cdev_send_response sendResponse;
    fw_cdev_add_descriptor addDescriptor;
    fw_cdev_send_stream_packet sendStreamPacket;
    fw_cdev_send_phy_packet sendPhyPacket;
    fw_cdev_set_iso_channels setIsoChannels;
};

bool ValidRequestCode(std::uint32_t tcode) {
    switch (tcode) {
        case TCODE_WRITE_QUADLET_REQUEST:
        case TCODE_WRITE_BLOCK_REQUEST:
        case TCODE_READ_QUADLET_REQUEST:
        case TCODE_READ_BLOCK_REQUEST:
        case TCODE_LOCK_MASK_SWAP:
        case TCODE_LOCK_COMPARE_SWAP:
        case TCODE_LOCK_FETCH_ADD:
        case TCODE_LOCK_LITTLE_ADD:
        case TCODE_LOCK_BOUNDED_ADD:
        case TCODE_LOCK_WRAP_ADD:
        case TCODE_LOCK_VENDOR_DEPENDENT:
            return true;
        default:
            return false;
    }
}

bool CarriesPayload(std::uint32_t tcode) {
    return tcode == TCODE_WRITE_QUADLET_REQUEST || tcode == TCODE_WRITE_BLOCK_REQUEST ||
           (tcode & 0x10) != 0;
}

}  // namespace

int FakeBus::Ioctl(int fd, unsigned long request, void* argument) {
    std::lock_guard lock(m_mutex);
    FwFile* file = FileOf(fd);
    if (file == nullptr) return -EBADF;
    if (file->Node().gone) return -ENODEV;
    const unsigned size = _IOC_SIZE(request);
    if (_IOC_TYPE(request) != '#' || _IOC_NR(request) > kLastIoctl || size > sizeof(Argument))
        return -ENOTTY;
    if (size > 0 && argument == nullptr) return -EFAULT;
    Argument buffer;
    std::memset(&buffer, 0, sizeof buffer);
    if (_IOC_DIR(request) & _IOC_WRITE) std::memcpy(&buffer, argument, size);
    const int result = Dispatch(*file, _IOC_NR(request), &buffer);
    if (result < 0) return result;
    if (_IOC_DIR(request) & _IOC_READ) std::memcpy(argument, &buffer, size);
    return result;
}

int FakeBus::Dispatch(FwFile& file, unsigned nr, void* argument) {
    auto& a = *static_cast<Argument*>(argument);
    const bool local = file.Node().camera == 0;
    IsoContext* context = file.context.get();
    const IsoContext::Post post = [&file](std::vector<std::uint8_t> event) {
        file.Post(std::move(event));
    };
    switch (nr) {
        case 0x00:
            return GetInfo(file, a.getInfo);
        case 0x01:
            return SendRequest(file, a.sendRequest, false);
        case 0x05:
            ScheduleReset();
            return 0;
        case 0x06:
        case 0x15:
        case 0x16:
            return local ? -EINVAL : -ENOSYS;  // local-node ioctls this fake leaves out
        case 0x08:
            return CreateContext(file, a.createIsoContext);
        case 0x09:
            return QueueIso(file, a.queueIso);
        case 0x0a:
            if (context == nullptr || a.startIso.handle != 0 || a.startIso.tags == 0 ||
                a.startIso.tags > 15 || a.startIso.sync > 15)
                return -EINVAL;
            context->Start(a.startIso.sync, a.startIso.tags);
            return 0;
        case 0x0b:
            if (context == nullptr || a.stopIso.handle != 0) return -EINVAL;
            context->Stop();
            return 0;
        case 0x18:
            if (context == nullptr || a.flushIso.handle != 0) return -EINVAL;
            context->Flush(post);
            return 0;
        case 0x0c:
        case 0x14: {
            const clockid_t clock = nr == 0x0c ? CLOCK_REALTIME : a.getCycleTimer2.clk_id;
            if (clock != CLOCK_REALTIME && clock != CLOCK_MONOTONIC && clock != CLOCK_MONOTONIC_RAW)
                return -EINVAL;
            timespec now{};
            ::clock_gettime(clock, &now);
            const std::uint32_t cycleTimer = CycleTimer();
            if (nr == 0x0c) {
                a.getCycleTimer.local_time =
                    std::uint64_t(now.tv_sec) * 1'000'000 + std::uint64_t(now.tv_nsec) / 1000;
                a.getCycleTimer.cycle_timer = cycleTimer;
            } else {
                a.getCycleTimer2.tv_sec = now.tv_sec;
                a.getCycleTimer2.tv_nsec = std::int32_t(now.tv_nsec);
                a.getCycleTimer2.cycle_timer = cycleTimer;
            }
            return 0;
        }
        case 0x0d:
        case 0x0f:
            return AllocateResource(file, a.allocateIsoResource, nr == 0x0f);
        case 0x0e:
        case 0x10:
            return DeallocateResource(file, a.allocateIsoResource, nr == 0x10);
        case 0x11:
            return kSpeedS400;
        case 0x12:
            if (a.sendRequest.tcode != TCODE_WRITE_QUADLET_REQUEST &&
                a.sendRequest.tcode != TCODE_WRITE_BLOCK_REQUEST)
                return -EINVAL;
            if (a.sendRequest.offset < 0xFFFF'F000'0800) return -EACCES;  // units space only
            return SendRequest(file, a.sendRequest, true);
        default:
            // Address handlers, responses, descriptors, stream and PHY packets, multichannel.
            return -EINVAL;
    }
}

int FakeBus::GetInfo(FwFile& file, fw_cdev_get_info& a) {
    file.version = a.version;
    a.version = kAbiVersion;
    a.card = 0;
    const std::vector<std::uint32_t>& rom = file.Node().rom;
    const std::size_t have = rom.size() * 4;
    if (a.rom != 0)
        std::memcpy(reinterpret_cast<void*>(a.rom), rom.data(), std::min<std::size_t>(a.rom_length, have));
    a.rom_length = std::uint32_t(have);
    file.resetClosure = a.bus_reset_closure;
    if (a.bus_reset != 0) {
        fw_cdev_event_bus_reset reset{};
        reset.closure = a.bus_reset_closure;
        reset.type = FW_CDEV_EVENT_BUS_RESET;
        reset.node_id = file.Node().NodeId();
        reset.local_node_id = reset.bm_node_id = reset.irm_node_id = reset.root_node_id =
            m_nodes[0]->NodeId();
        reset.generation = m_generation;
        std::memcpy(reinterpret_cast<void*>(a.bus_reset), &reset, 36);  // its unpadded size
    }
    file.listening = true;
    return 0;
}

int FakeBus::SendRequest(FwFile& file, fw_cdev_send_request& a, bool broadcast) {
    if (!broadcast && !ValidRequestCode(a.tcode)) return -EINVAL;
    if (a.length > 4096 || a.length > 512u << kSpeedS400) return -EIO;
    if (a.tcode == TCODE_WRITE_QUADLET_REQUEST && a.length < 4) return -EINVAL;
    ++m_requests;
    Timed request{std::chrono::steady_clock::now() +
                      std::chrono::microseconds(m_config.requestDelayUs),
                  Timed::Kind::Response, file.Id(), a.closure, a.tcode, a.offset, a.generation,
                  a.length, {}};
    request.broadcast = broadcast;
    if (CarriesPayload(a.tcode)) {
        request.payload.resize(a.length);
        if (a.data != 0 && a.length > 0)
            std::memcpy(request.payload.data(), reinterpret_cast<const void*>(a.data), a.length);
    }
    if (m_config.requestDelayUs == 0) {
        Complete(request);
    } else {
        m_timed.push_back(std::move(request));
        m_wake.notify_all();
    }
    return 0;
}

int FakeBus::CreateContext(FwFile& file, fw_cdev_create_iso_context& a) {
    if (a.type != FW_CDEV_ISO_CONTEXT_RECEIVE || a.header_size < 4 || (a.header_size & 3) != 0 ||
        a.channel > 63)
        return -EINVAL;
    // The controller's contexts are all taken: the kernel refuses as it does when one file
    // asks for a second.
    if (file.context || m_contexts >= m_config.contexts) return -EBUSY;
    file.context = std::make_unique<IsoContext>(a.channel, a.header_size, a.closure,
                                                file.version < kAbiVersion);
    ++m_contexts;
    a.handle = 0;
    return 0;
}

int FakeBus::QueueIso(FwFile& file, fw_cdev_queue_iso& a) {
    IsoContext* context = file.context.get();
    if (context == nullptr || a.handle != 0) return -EINVAL;
    std::uint64_t payload = a.data - file.clientStart;
    std::uint64_t bufferEnd = file.mapping.size();
    if (a.data == 0 || !file.Mapped() || payload >= bufferEnd) payload = bufferEnd = 0;

    const auto* p = reinterpret_cast<const std::uint8_t*>(a.packets);
    const std::uint8_t* end = p + a.size;
    int count = 0;
    while (p < end) {
        std::uint32_t control = 0;
        std::memcpy(&control, p, sizeof control);
        IsoContext::Entry entry;
        entry.payloadLength = control & 0xFFFF;
        entry.interrupt = control >> 16 & 1;
        entry.sync = control >> 17 & 1;
        const std::uint32_t headerLength = control >> 24;
        if (headerLength == 0 || headerLength % context->HeaderSize() != 0) return -EINVAL;
        const std::uint8_t* next = p + sizeof control;  // receive entries carry no header
        if (next > end || payload + entry.payloadLength > bufferEnd) return -EINVAL;
        entry.offset = std::uint32_t(payload);
        entry.packets = headerLength / context->HeaderSize();
        if (!context->Queue(entry, m_config.queueLimit)) break;
        p = next;
        payload += entry.payloadLength;
        ++count;
    }
    a.size -= std::uint32_t(reinterpret_cast<std::uintptr_t>(p) - a.packets);
    a.packets = reinterpret_cast<std::uintptr_t>(p);
    a.data = file.clientStart + payload;
    return count;
}

int FakeBus::AllocateResource(FwFile& file, fw_cdev_allocate_iso_resource& a, bool once) {
    if ((a.channels == 0 && a.bandwidth == 0) || a.bandwidth > kBandwidthMax) return -EINVAL;
    int channel = 0, bandwidth = 0;
    Manage(a.channels, a.bandwidth, true, channel, bandwidth);
    const std::uint32_t handle = once ? 0xFFFF'FFFF : file.FreeHandle();
    a.handle = handle;
    // A failed allocation leaves nothing behind; one made "once" is not kept across resets.
    if (!once && (channel >= 0 || bandwidth > 0)) {
        IsoResource& resource = file.resources[handle];
        resource.closure = a.closure;
        resource.channels = channel >= 0 ? std::uint64_t{1} << channel : 0;
        resource.bandwidth = std::uint32_t(bandwidth);
    }
    PostResource(file, FW_CDEV_EVENT_ISO_RESOURCE_ALLOCATED, handle, a.closure, channel, bandwidth);
    return 0;
}

int FakeBus::DeallocateResource(FwFile& file, fw_cdev_allocate_iso_resource& a, bool once) {
    int channel = 0, bandwidth = 0;
    if (once) {
        if ((a.channels == 0 && a.bandwidth == 0) || a.bandwidth > kBandwidthMax) return -EINVAL;
        Manage(a.channels, a.bandwidth, false, channel, bandwidth);
        PostResource(file, FW_CDEV_EVENT_ISO_RESOURCE_DEALLOCATED, 0xFFFF'FFFF, a.closure, channel,
                     bandwidth);
        return 0;
    }
    // DEALLOCATE_ISO_RESOURCE takes a struct fw_cdev_deallocate: the handle comes first.
    std::uint32_t handle = 0;
    std::memcpy(&handle, &a, sizeof handle);
    const auto it = file.resources.find(handle);
    if (it == file.resources.end()) return -EINVAL;
    const IsoResource resource = it->second;
    file.resources.erase(it);
    Manage(resource.channels, resource.bandwidth, false, channel, bandwidth);
    PostResource(file, FW_CDEV_EVENT_ISO_RESOURCE_DEALLOCATED, handle, resource.closure, channel,
                 bandwidth);
    return 0;
}

}  // namespace fakefw
