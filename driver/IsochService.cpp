// Isochronous requests: allocation, buffers, transfer control and reads.
#include "driver/IsochService.h"

#include "driver/RequestCodes.h"
#include "driver/RequestDecoder.h"
#include "platform/ByteOrder.h"
#include "platform/ErrorCodes.h"

namespace driver {
namespace {

using platform::kErrorBusy;
using platform::kErrorInvalidHandle;
using platform::kErrorInvalidParameter;
using platform::kErrorIoPending;
using platform::kErrorNotSupported;
using platform::kErrorSuccess;

std::uint32_t CheckResourceSetup(const ResourceRecord& setup, std::uint32_t hostCaps) {
    const bool listen = (setup.flags & kResourceListen) != 0;
    const bool talk = (setup.flags & kResourceTalk) != 0;
    const bool strip = (setup.flags & kResourceStripHeader) != 0;
    const std::uint32_t limit = ResourceManager::MaxPacketBytes(setup.speed);
    if (listen == talk || (setup.flags & ~kResourceKnownFlags) != 0) return kErrorInvalidParameter;
    if (setup.quadletsToStrip != (strip ? 1u : 0u)) return kErrorInvalidParameter;
    if (limit == 0 || setup.bytesPerPacket == 0 || setup.bytesPerPacket > limit) {
        return kErrorInvalidParameter;
    }
    if (setup.channel >= kChannelCount || setup.buffers == 0 || setup.buffers > kMaxDescriptors) {
        return kErrorInvalidParameter;
    }
    if (setup.bytesPerBuffer == 0 || setup.bytesPerBuffer > kMaxRecordData) {
        return kErrorInvalidParameter;
    }
    if (strip && (hostCaps & kHostCapStripHeader) == 0) return kErrorNotSupported;
    if ((setup.flags & kResourcePacketBased) && (hostCaps & kHostCapPacketBased) == 0) {
        return kErrorNotSupported;
    }
    return kErrorSuccess;
}

}  // namespace

std::uint32_t IsochService::Handle(const Request& request, std::uint32_t hostCaps,
                                   std::uint64_t now, bool negativeRead, std::uint32_t& pendingOn) {
    switch (request.code) {
        case kIoctlAllocateBandwidth:
        case kIoctlFreeBandwidth:
            return HandleBandwidth(request);
        case kIoctlAllocateChannel:
        case kIoctlFreeChannel:
            return HandleChannel(request);
        case kIoctlAllocateResources:
            return HandleResources(request, hostCaps);
        case kIoctlFreeResources:
            return HandleFree(request);
        case kIoctlAttachBuffers:
            return HandleAttach(request, now, pendingOn);
        case kIoctlDetachBuffers:
            return HandleDetach(request);
        case kIoctlListen:
        case kIoctlTalk:
        case kIoctlStop:
            return HandleStartStop(request, now);
        case kIoctlIsochRead:
            return HandleRead(request, negativeRead, pendingOn);
        default:
            return Reply(request, kErrorNotSupported);
    }
}

void IsochService::Cancel(std::uint32_t resource, std::uint32_t id, std::uint32_t status) {
    const auto it = m_resources.find(resource);
    if (it != m_resources.end()) it->second->Cancel(id, status);
}

void IsochService::Release(ClientId client, std::uint32_t status) {
    for (auto it = m_resources.begin(); it != m_resources.end();) {
        if (it->second->Owner() == client) {
            it->second->CancelAll(status);
            it = m_resources.erase(it);
        } else {
            ++it;
        }
    }
    m_manager.Release(client);
}

void IsochService::Deliver(const PacketRun& run) {
    for (auto& [handle, resource] : m_resources) {
        if (resource->Setup().channel == run.channel) resource->Receive(run);
    }
}

void IsochService::EndShortFrame(unsigned channel) {
    for (auto& [handle, resource] : m_resources) {
        if (resource->Setup().channel == channel) resource->EndShortFrame();
    }
}

std::optional<std::uint64_t> IsochService::NextTalkDue() const {
    std::optional<std::uint64_t> next;
    for (const auto& [handle, resource] : m_resources) {
        const auto due = resource->TalkDue();
        if (due && (!next || *due < *next)) next = due;
    }
    return next;
}

bool IsochService::SendTalked(std::uint64_t now) {
    bool sent = false;
    for (auto& [handle, resource] : m_resources) {
        const auto due = resource->TalkDue();
        if (!due || *due > now) continue;
        Deliver(resource->TakeTalked());
        sent = true;
    }
    return sent;
}

std::vector<std::string> IsochService::Describe() const {
    const auto kib = [](std::uint64_t bytes) { return std::to_string(bytes / 1024); };
    std::vector<std::string> lines{"attach memory: " + kib(m_budget.Held()) +
                                   " KiB held, at most " + kib(m_budget.PerClient()) +
                                   " KiB per connection and " + kib(m_budget.Total()) +
                                   " KiB in all"};
    for (const auto& [handle, resource] : m_resources) lines.push_back(resource->Describe());
    return lines;
}

std::uint32_t IsochService::HandleBandwidth(const Request& request) {
    if (request.code == kIoctlFreeBandwidth) {
        std::uint32_t handle = 0;
        if (const std::uint32_t status =
                RequestDecoder::Handle(request.in, kFreeRecordBytes, handle)) {
            return Reply(request, status);
        }
        return Reply(request, m_manager.FreeBandwidth(request.client, handle));
    }
    std::uint32_t bytesPerPacket = 0, speed = 0, handle = 0;
    std::uint32_t status =
        RequestDecoder::Bandwidth(request.in, request.outSize, bytesPerPacket, speed);
    if (status == kErrorSuccess)
        status = m_manager.AllocateBandwidth(request.client, bytesPerPacket, speed, handle);
    std::vector<std::uint8_t> out = Echo(request, 20);
    if (status == kErrorBusy) {
        // Says how far the bus is from taking the stream, so the program can tell the user.
        platform::StoreLE32(&out[kBandwidthNeededOffset],
                            ResourceManager::BandwidthUnits(bytesPerPacket, speed));
        platform::StoreLE32(&out[kBandwidthLeftOffset],
                            ResourceManager::kUnitsPerCycle - m_manager.UnitsUsed());
        return Reply(request, status, std::move(out));
    }
    if (status != kErrorSuccess) return Reply(request, status);
    platform::StoreLE32(&out[kBandwidthHandleOffset], handle);
    return Reply(request, status, std::move(out));
}

std::uint32_t IsochService::HandleChannel(const Request& request) {
    std::uint32_t channel = 0;
    if (request.code == kIoctlFreeChannel) {
        if (const std::uint32_t status =
                RequestDecoder::Handle(request.in, kFreeRecordBytes, channel)) {
            return Reply(request, status);
        }
        return Reply(request, m_manager.FreeChannel(request.client, channel));
    }
    std::uint32_t status = RequestDecoder::Channel(request.in, request.outSize, channel);
    if (status == kErrorSuccess) status = m_manager.AllocateChannel(request.client, channel);
    return Reply(request, status,
                 status == kErrorSuccess ? Echo(request, 16) : std::vector<std::uint8_t>());
}

std::uint32_t IsochService::HandleResources(const Request& request, std::uint32_t hostCaps) {
    ResourceRecord setup;
    std::uint32_t status = RequestDecoder::Resources(request.in, request.outSize, setup);
    if (status == kErrorSuccess) status = CheckResourceSetup(setup, hostCaps);
    if (status != kErrorSuccess) return Reply(request, status);
    const std::uint32_t handle = m_manager.NewHandle();
    m_resources[handle] =
        std::make_unique<IsochResource>(handle, request.client, setup, m_emit, m_budget);
    std::vector<std::uint8_t> out = Echo(request, 32);
    platform::StoreLE32(&out[28], handle);
    return Reply(request, status, std::move(out));
}

std::uint32_t IsochService::HandleAttach(const Request& request, std::uint64_t now,
                                         std::uint32_t& pendingOn) {
    AttachRecord record;
    if (const std::uint32_t status = RequestDecoder::Attach(request.in, record)) {
        return Reply(request, status);
    }
    IsochResource* resource = Find(request.client, record.resource);
    if (resource == nullptr) return Reply(request, kErrorInvalidHandle);
    pendingOn = record.resource;
    const std::uint32_t status = resource->Attach(request.id, record, request.in, request.outSize,
                                                  now, request.shared, request.memoryFd);
    return status == kErrorIoPending ? status : Reply(request, status);
}

std::uint32_t IsochService::HandleDetach(const Request& request) {
    std::uint32_t handle = 0, count = 0;
    if (const std::uint32_t status = RequestDecoder::Detach(request.in, handle, count)) {
        return Reply(request, status);
    }
    IsochResource* resource = Find(request.client, handle);
    return Reply(request, resource ? resource->Detach(count) : kErrorInvalidHandle);
}

std::uint32_t IsochService::HandleStartStop(const Request& request, std::uint64_t now) {
    const bool stop = request.code == kIoctlStop;
    std::uint32_t handle = 0;
    if (const std::uint32_t status = RequestDecoder::Handle(
            request.in, stop ? kStopRecordBytes : kStartRecordBytes, handle)) {
        return Reply(request, status);
    }
    IsochResource* resource = Find(request.client, handle);
    if (resource == nullptr) return Reply(request, kErrorInvalidHandle);
    if (stop) {
        resource->Stop();
    } else if ((request.code == kIoctlTalk) != resource->Talks()) {
        return Reply(request, kErrorInvalidParameter);
    } else {
        resource->Start(now);
    }
    return Reply(request, kErrorSuccess);
}

std::uint32_t IsochService::HandleFree(const Request& request) {
    std::uint32_t handle = 0;
    if (const std::uint32_t status = RequestDecoder::Handle(request.in, kFreeRecordBytes, handle)) {
        return Reply(request, status);
    }
    IsochResource* resource = Find(request.client, handle);
    if (resource == nullptr) return Reply(request, kErrorInvalidHandle);
    resource->CancelAll(platform::kErrorOperationAborted);
    m_resources.erase(handle);
    return Reply(request, kErrorSuccess);
}

std::uint32_t IsochService::HandleRead(const Request& request, bool negative,
                                       std::uint32_t& pendingOn) {
    IsochReadRecord record;
    if (const std::uint32_t status =
            RequestDecoder::IsochRead(request.in, request.outSize, record)) {
        return Reply(request, status);
    }
    IsochResource* resource = Find(request.client, record.resource);
    if (resource == nullptr) return Reply(request, kErrorInvalidHandle);
    pendingOn = record.resource;
    const std::uint32_t status = resource->Read(request.id, record.bytes, negative);
    return status == kErrorIoPending ? status : Reply(request, status);
}

IsochResource* IsochService::Find(ClientId client, std::uint32_t handle) {
    const auto it = m_resources.find(handle);
    if (it == m_resources.end() || it->second->Owner() != client) return nullptr;
    return it->second.get();
}

std::uint32_t IsochService::Reply(const Request& request, std::uint32_t status,
                                  std::vector<std::uint8_t> head) {
    m_emit(Answer(request, status, std::move(head)));
    return status;
}

}  // namespace driver
