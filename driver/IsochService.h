// The isochronous side of the bus: bandwidth, channels, the isochronous resources of every
// client, and the delivery of packet runs to the resources that listen on their channel.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/Completion.h"
#include "driver/IsochResource.h"
#include "driver/PacketRun.h"
#include "driver/ResourceManager.h"
#include "platform/ClientMemoryBudget.h"

namespace driver {

class IsochService {
public:
    explicit IsochService(IsochResource::Emit emit) : m_emit(std::move(emit)) {}

    // Answers an isochronous request, or returns kErrorIoPending with the resource it pends on
    // (the answer may then already have gone out). negativeRead: an armed fault.
    std::uint32_t Handle(const Request& request, std::uint32_t hostCaps, std::uint64_t now,
                         bool negativeRead, std::uint32_t& pendingOn);
    // Answers a request that pends on a resource with status.
    void Cancel(std::uint32_t resource, std::uint32_t id, std::uint32_t status);
    // Frees all the client holds; its pending requests are answered with status.
    void Release(ClientId client, std::uint32_t status);

    void Deliver(const PacketRun& run);
    // The frame just delivered on channel lacked its last packets: listeners deliver it short.
    void EndShortFrame(unsigned channel);
    std::optional<std::uint64_t> NextTalkDue() const;
    // Sends each talked buffer that is due by now; true when one went out.
    bool SendTalked(std::uint64_t now);

    // The client's resource with that handle, or null.
    IsochResource* Find(ClientId client, std::uint32_t handle);

    const ResourceManager& Resources() const { return m_manager; }
    // What pending attaches hold, then a line per resource.
    std::vector<std::string> Describe() const;

private:
    std::uint32_t HandleBandwidth(const Request& request);
    std::uint32_t HandleChannel(const Request& request);
    std::uint32_t HandleResources(const Request& request, std::uint32_t hostCaps);
    std::uint32_t HandleAttach(const Request& request, std::uint64_t now, std::uint32_t& pendingOn);
    std::uint32_t HandleDetach(const Request& request);
    std::uint32_t HandleStartStop(const Request& request, std::uint64_t now);
    std::uint32_t HandleFree(const Request& request);
    std::uint32_t HandleRead(const Request& request, bool negative, std::uint32_t& pendingOn);
    // Answers now and returns the status it answered with.
    std::uint32_t Reply(const Request& request, std::uint32_t status,
                        std::vector<std::uint8_t> head = {});

    IsochResource::Emit m_emit;
    platform::ClientMemoryBudget m_budget;  // before the resources, whose charges it holds
    ResourceManager m_manager;
    std::map<std::uint32_t, std::unique_ptr<IsochResource>> m_resources;  // by handle
};

}  // namespace driver
