// Isochronous requests on the kernel's bus: channels and bandwidth at the resource manager,
// reception through a context per listening resource; the rest is the resources' own.
#include <cerrno>
#include <cstring>

#include "driver/RequestCodes.h"
#include "driver/RequestDecoder.h"
#include "driver/ResourceManager.h"
#include "fw/FwBus.h"
#include "fw/FwBusState.h"
#include "platform/ByteOrder.h"
#include "platform/ErrorCodes.h"
#include "platform/Log.h"

namespace fw {
namespace {

using namespace platform;
using driver::Echo;

}  // namespace

void FwBus::HandleIsoch(const driver::Request& request, Client& client) {
    switch (request.code) {
        case driver::kIoctlAllocateBandwidth:
        case driver::kIoctlAllocateChannel:
            return HandleAllocate(request, client);
        case driver::kIoctlFreeBandwidth:
        case driver::kIoctlFreeChannel:
            return HandleFree(request, client);
        case driver::kIoctlTalk:
            // Cameras only send; the bridge receives.
            return Reply(request, kErrorNotSupported);
        case driver::kIoctlAllocateResources: {
            driver::ResourceRecord setup;
            if (driver::RequestDecoder::Resources(request.in, request.outSize, setup) == 0 &&
                (setup.flags & driver::kResourceTalk) != 0) {
                return Reply(request, kErrorNotSupported);
            }
            break;
        }
        case driver::kIoctlListen:
            if (!HandleListen(request, client)) return;
            break;
        case driver::kIoctlStop:
        case driver::kIoctlFreeResources: {
            std::uint32_t handle = 0;
            if (driver::RequestDecoder::Handle(request.in, driver::kFreeRecordBytes, handle) == 0 &&
                m_isoch.Find(request.client, handle) != nullptr) {
                StopReceiver(handle);
            }
            break;
        }
        default:
            break;
    }
    std::uint32_t resource = 0;
    const std::uint32_t status =
        m_isoch.Handle(request, driver::kHostCapsConfigurable, 0, false, resource);
    const auto entry = client.pending.find(request.id);
    if (status == kErrorIoPending && entry != client.pending.end())
        entry->second = {PendingKind::Isoch, resource};
}

bool FwBus::HandleListen(const driver::Request& request, Client& client) {
    std::uint32_t handle = 0;
    // The resources answer a malformed or foreign one.
    if (driver::RequestDecoder::Handle(request.in, driver::kStartRecordBytes, handle) != 0)
        return true;
    driver::IsochResource* resource = m_isoch.Find(request.client, handle);
    if (resource == nullptr || resource->Talks() || m_receivers.contains(handle)) return true;
    const Node* node = UnitNode(client.unit);
    if (node == nullptr) {
        Reply(request, kErrorDeviceNotConnected);
        return false;
    }
    auto receiver = std::make_unique<FwReceiver>(m_kernel, *resource);
    std::string error;
    if (!receiver->Start(node->path, error)) {
        const int cause = errno;
        KX_LOG(Simbus, Warn) << "no reception on channel " << resource->Setup().channel << ": "
                             << error;
        Reply(request, cause == EBUSY || cause == ENOSPC ? kErrorBusy
                       : cause == ENODEV                 ? kErrorDeviceNotConnected
                                                         : kErrorGenFailure);
        return false;
    }
    m_host.Watch(receiver->Fd(), [this, handle] { ReadReceiverEvents(handle); });
    m_receivers[handle] = std::move(receiver);
    return true;
}

void FwBus::StopReceiver(std::uint32_t resource) {
    const auto it = m_receivers.find(resource);
    if (it == m_receivers.end()) return;
    KX_LOG(Simbus, Info) << "reception ends: " << it->second->Describe();
    m_host.Unwatch(it->second->Fd());
    m_receivers.erase(it);
}

void FwBus::ReadReceiverEvents(std::uint32_t resource) {
    // A reset the kernel reported before these packets came is taken first, so that the
    // receiver reads their stamps as the new generation's.
    std::vector<std::string> names;
    for (const auto& [name, node] : m_nodes) {
        if (node->fd) names.push_back(name);
    }
    for (const std::string& name : names) ReadNodeEvents(name, false);
    const auto it = m_receivers.find(resource);
    if (it == m_receivers.end()) return;
    // A context whose node left ends; the client learns it from the unit's removal.
    if (!it->second->ReadEvents()) StopReceiver(resource);
}

int FwBus::ClientFile(ClientId id, Client& client) {
    if (client.isoFd) return client.isoFd.Get();
    const Node* node = UnitNode(client.unit);
    if (node == nullptr) return -1;
    KernelFd fd(m_kernel, m_kernel.Open(node->path));
    fw_cdev_get_info info{};
    info.version = kAbiVersion;
    if (!fd || m_kernel.Ioctl(fd.Get(), FW_CDEV_IOC_GET_INFO, &info) < 0) return -1;
    client.isoFd = std::move(fd);
    m_host.Watch(client.isoFd.Get(), [this, id] { ReadClientEvents(id); });
    return client.isoFd.Get();
}

void FwBus::HandleAllocate(const driver::Request& request, Client& client) {
    const bool channel = request.code == driver::kIoctlAllocateChannel;
    std::uint32_t value = 0, speed = 0;
    const std::uint32_t status =
        channel ? driver::RequestDecoder::Channel(request.in, request.outSize, value)
                : driver::RequestDecoder::Bandwidth(request.in, request.outSize, value, speed);
    if (status != kErrorSuccess) return Reply(request, status);
    fw_cdev_allocate_iso_resource allocate{};
    if (channel) {
        if (value >= driver::kChannelCount) return Reply(request, kErrorInvalidParameter);
        allocate.channels = std::uint64_t{1} << value;
    } else {
        const std::uint32_t limit = driver::ResourceManager::MaxPacketBytes(speed);
        if (limit == 0 || value == 0 || value > limit)
            return Reply(request, kErrorInvalidParameter);
        value = driver::ResourceManager::BandwidthUnits(value, speed);
        allocate.bandwidth = value;
    }
    const int fd = ClientFile(request.client, client);
    if (fd < 0) return Reply(request, kErrorDeviceNotConnected);
    const std::uint64_t closure = m_nextClosure++;
    allocate.closure = closure;
    if (m_kernel.Ioctl(fd, FW_CDEV_IOC_ALLOCATE_ISO_RESOURCE, &allocate) < 0) {
        return Reply(request, errno == ENODEV ? kErrorDeviceNotConnected : kErrorGenFailure);
    }
    Client::Allocating pending;
    pending.requestId = request.id;
    pending.answer = Echo(request, channel ? 16 : 20);
    pending.allocation = {allocate.handle, channel, value, false};
    client.allocating[closure] = std::move(pending);
    client.pending[request.id] = {PendingKind::Allocate, closure};
}

void FwBus::HandleFree(const driver::Request& request, Client& client) {
    const bool channel = request.code == driver::kIoctlFreeChannel;
    std::uint32_t key = 0;
    if (const std::uint32_t status =
            driver::RequestDecoder::Handle(request.in, driver::kFreeRecordBytes, key))
        return Reply(request, status);
    // Bandwidth goes by the handle it was given, a channel by its number.
    auto it = client.allocations.end();
    if (channel) {
        for (auto a = client.allocations.begin(); a != client.allocations.end(); ++a) {
            if (a->second.channel && a->second.value == key) it = a;
        }
    } else if (const auto a = client.allocations.find(key);
               a != client.allocations.end() && !a->second.channel) {
        it = a;
    }
    if (it == client.allocations.end()) return Reply(request, kErrorInvalidHandle);
    fw_cdev_deallocate deallocate{};
    deallocate.handle = it->second.kernelHandle;
    // One the kernel already lost at a reset has nothing left to give back.
    if (!it->second.lost && client.isoFd)
        m_kernel.Ioctl(client.isoFd.Get(), FW_CDEV_IOC_DEALLOCATE_ISO_RESOURCE, &deallocate);
    client.allocations.erase(it);
    Reply(request, kErrorSuccess);
}

void FwBus::ReadClientEvents(ClientId id) {
    alignas(8) std::uint8_t event[4096];
    for (;;) {
        const auto it = m_clients.find(id);
        if (it == m_clients.end() || !it->second->isoFd) return;
        Client& client = *it->second;
        const ssize_t n = m_kernel.Read(client.isoFd.Get(), event, sizeof event);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) {
            // The node went; its removal answers the client.
            m_host.Unwatch(client.isoFd.Get());
            client.isoFd.Reset();
            return;
        }
        if (std::size_t(n) >= sizeof(fw_cdev_event_iso_resource)) OnIsoResource(id, client, event);
    }
}

void FwBus::OnIsoResource(ClientId id, Client& client, const std::uint8_t* event) {
    fw_cdev_event_iso_resource resource;
    std::memcpy(&resource, event, sizeof resource);
    if (resource.type == FW_CDEV_EVENT_ISO_RESOURCE_DEALLOCATED) {
        // After a reset the kernel allocates again; when it cannot, the allocation is gone.
        for (auto& [handle, allocation] : client.allocations) {
            if (allocation.kernelHandle != resource.handle || allocation.lost) continue;
            allocation.lost = true;
            KX_LOG(Simbus, Warn) << "client " << id << " lost its "
                                 << (allocation.channel ? "channel " : "bandwidth of ")
                                 << allocation.value << (allocation.channel ? "" : " units")
                                 << " at a bus reset";
        }
        return;
    }
    if (resource.type != FW_CDEV_EVENT_ISO_RESOURCE_ALLOCATED) return;
    const auto it = client.allocating.find(resource.closure);
    if (it == client.allocating.end()) {
        // Its request was cancelled while the kernel worked: give back what it got.
        fw_cdev_deallocate deallocate{};
        deallocate.handle = resource.handle;
        if (resource.channel >= 0 || resource.bandwidth > 0)
            m_kernel.Ioctl(client.isoFd.Get(), FW_CDEV_IOC_DEALLOCATE_ISO_RESOURCE, &deallocate);
        return;
    }
    Client::Allocating pending = std::move(it->second);
    client.allocating.erase(it);
    const Allocation& allocation = pending.allocation;
    const bool granted = allocation.channel ? resource.channel >= 0 : resource.bandwidth > 0;
    if (!granted) {
        // The resource manager said no: "no bandwidth" or a taken channel, as on any bus. The
        // kernel does not say what the bus has left, only that this stream does not fit.
        std::vector<std::uint8_t> answer;
        if (!allocation.channel) {
            answer = std::move(pending.answer);
            StoreLE32(&answer[driver::kBandwidthNeededOffset], allocation.value);
            StoreLE32(&answer[driver::kBandwidthLeftOffset], driver::kBandwidthLeftUnknown);
        }
        return Finish({id, pending.requestId, kErrorBusy, std::move(answer), nullptr, 0});
    }
    const std::uint32_t handle = m_nextAllocation++;
    if (!allocation.channel) StoreLE32(&pending.answer[8], handle);
    client.allocations[handle] = allocation;
    Finish({id, pending.requestId, kErrorSuccess, std::move(pending.answer), nullptr, 0});
}

}  // namespace fw
