// Nodes, clients and the dispatch of requests on the kernel's bus.
#include "fw/FwBus.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "driver/ClientRequests.h"
#include "driver/ConfigInfoAnswer.h"
#include "driver/RequestCodes.h"
#include "driver/RequestDecoder.h"
#include "fw/FwBusState.h"
#include "fw/FwHeaders.h"
#include "platform/ByteOrder.h"
#include "platform/CycleTimerReading.h"
#include "platform/ErrorCodes.h"
#include "platform/Log.h"

namespace fw {
namespace {

using namespace platform;
using driver::Answer;
using driver::Echo;

constexpr std::size_t kMostRomBytes = 1024;
constexpr const char* kPermissionFix =
    "add yourself to the group video, or install the udev rule in docs/real-cameras.md";

bool IsNodeName(const std::string& name) {
    return name.size() > 2 && name.starts_with("fw") &&
           std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

FwBus::FwBus(KernelApi& kernel, driver::CompletionSink& sink, Host& host, std::string devDir)
    : m_kernel(kernel),
      m_sink(sink),
      m_host(host),
      m_devDir(std::move(devDir)),
      m_isoch([this](driver::Completion&& completion) { Finish(std::move(completion)); }) {}

FwBus::~FwBus() {
    m_receivers.clear();
    for (const auto& [name, node] : m_nodes) {
        if (node->fd) m_host.Unwatch(node->fd.Get());
    }
    for (const auto& [id, client] : m_clients) {
        if (client->isoFd) m_host.Unwatch(client->isoFd.Get());
    }
}

void FwBus::Scan() {
    std::set<std::string> present;
    for (const std::string& name : m_kernel.List(m_devDir)) {
        if (IsNodeName(name)) present.insert(name);
    }
    std::vector<std::string> gone;
    for (const auto& [name, node] : m_nodes) {
        if (!present.contains(name)) gone.push_back(name);
    }
    for (const std::string& name : gone) RemoveNode(name);
    for (const std::string& name : present) {
        if (!m_nodes.contains(name)) AddNode(name);
    }
    // The controller's own node is often closed to users; a file that could not be opened
    // matters when no camera can be reached, and then it is said why.
    for (const std::string& path : m_denied) {
        if (!m_units.empty() || !m_told.insert(path).second) continue;
        m_host.Tell("cannot open " + path + " (permission denied): " + kPermissionFix);
    }
}

void FwBus::AddNode(const std::string& name) {
    const std::string path = m_devDir + "/" + name;
    KernelFd fd(m_kernel, m_kernel.Open(path));
    if (!fd) {
        if ((errno == EACCES || errno == EPERM) && m_denied.insert(path).second) {
            KX_LOG(Simbus, Info) << "cannot open " << path << ": permission denied";
        }
        // Anything else (a file being set up, a node gone again) is tried at the next change.
        return;
    }
    m_denied.erase(path);
    m_told.erase(path);
    auto node = std::make_unique<Node>();
    node->name = name;
    node->path = path;
    node->fd = std::move(fd);
    std::vector<std::uint8_t> rom(kMostRomBytes);
    fw_cdev_get_info info{};
    info.version = kAbiVersion;
    info.rom_length = std::uint32_t(rom.size());
    info.rom = reinterpret_cast<std::uintptr_t>(rom.data());
    info.bus_reset = reinterpret_cast<std::uintptr_t>(&node->reset);
    if (m_kernel.Ioctl(node->fd.Get(), FW_CDEV_IOC_GET_INFO, &info) < 0) {
        KX_LOG(Simbus, Warn) << "cannot read the information of " << path << ": "
                             << std::strerror(errno);
        return;
    }
    // The kernel hands the ROM over as quadlets in host order; the records carry bus order.
    rom.resize(std::min<std::size_t>(info.rom_length, rom.size()) / 4 * 4);
    for (std::size_t at = 0; at < rom.size(); at += 4) {
        std::uint32_t quadlet;
        std::memcpy(&quadlet, &rom[at], 4);
        StoreBE32(&rom[at], quadlet);
    }
    // The controller's own node: never a unit, but kept to know the node files.
    node->local = node->reset.node_id == node->reset.local_node_id;
    if (const auto camera = node->local ? std::nullopt : ConfigRom::ParseCamera(rom)) {
        node->rom = *camera;
        node->unit = m_nextUnit++;
        m_units[*node->unit] = name;
        KX_LOG(Simbus, Info) << path << ": camera " << camera->vendor << " " << camera->model
                             << ", node " << (node->reset.node_id & 63) << ", unit " << *node->unit;
    }
    if (!node->local) {
        m_host.Watch(node->fd.Get(), [this, name] { ReadNodeEvents(name, true); });
    } else {
        node->fd.Reset();
    }
    const std::optional<UnitId> unit = node->unit;
    m_nodes[name] = std::move(node);
    if (unit && !m_host.Publish(*unit)) RemoveNode(name);
}

void FwBus::RemoveNode(const std::string& name) {
    const auto it = m_nodes.find(name);
    if (it == m_nodes.end()) return;
    std::unique_ptr<Node> node = std::move(it->second);
    m_nodes.erase(it);
    if (node->fd) m_host.Unwatch(node->fd.Get());
    if (!node->unit) return;
    KX_LOG(Simbus, Info) << node->path << " is gone: unit " << *node->unit << " withdrawn";
    m_host.Withdraw(*node->unit);
    m_units.erase(*node->unit);
    for (auto& [id, client] : m_clients) {
        if (client->unit != *node->unit || client->unitGone) continue;
        client->unitGone = true;
        ReleaseClient(id, *client, kErrorDeviceNotConnected);
    }
    // Transactions in flight on the node's file end with it.
    std::vector<std::uint64_t> orphans;
    for (const auto& [closure, transaction] : m_transactions) {
        if (transaction->node == name) orphans.push_back(closure);
    }
    for (const std::uint64_t closure : orphans)
        FinishTransaction(closure, kErrorDeviceNotConnected);
}

void FwBus::ReadNodeEvents(const std::string& name, bool answerFirst) {
    alignas(8) std::uint8_t event[16384];
    for (;;) {
        const auto it = m_nodes.find(name);
        if (it == m_nodes.end()) return;
        const ssize_t n = m_kernel.Read(it->second->fd.Get(), event, sizeof event);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        // The node left the bus: its file answers ENODEV (or nothing more) from now on. A file
        // of that name may already stand for another node.
        if (n <= 0) {
            RemoveNode(name);
            return Scan();
        }
        if (std::size_t(n) < sizeof(fw_cdev_event_common)) continue;
        fw_cdev_event_common common;
        std::memcpy(&common, event, sizeof common);
        if (common.type == FW_CDEV_EVENT_BUS_RESET &&
            std::size_t(n) >= sizeof(fw_cdev_event_bus_reset)) {
            fw_cdev_event_bus_reset reset;
            std::memcpy(&reset, event, sizeof reset);
            it->second->reset = reset;
            OnBusReset(reset);
        } else if (common.type == FW_CDEV_EVENT_RESPONSE) {
            OnResponse(event, std::size_t(n));
            if (answerFirst) return;
        }
    }
}

void FwBus::OnBusReset(const fw_cdev_event_bus_reset& reset) {
    // Every node's file reports the same reset: the first report is the one that counts.
    if (m_generationKnown && std::int32_t(reset.generation - m_generation) <= 0) return;
    m_generation = reset.generation;
    m_generationKnown = true;
    // The node numbers handed out from now on must be this generation's, for every node.
    for (auto& [name, node] : m_nodes) {
        if (node->fd) Refresh(*node);
    }
    for (auto& [resource, receiver] : m_receivers) receiver->OnBusReset();
    KX_LOG(Simbus, Info) << "bus reset: generation " << m_generation;
    std::vector<std::pair<ClientId, std::uint32_t>> waits;
    for (const auto& [id, client] : m_clients) {
        for (const auto& [requestId, pending] : client->pending) {
            if (pending.kind != PendingKind::ResetWait) continue;
            waits.emplace_back(id, requestId);
            client->generation = m_generation;
        }
    }
    for (const auto& [id, requestId] : waits)
        Finish({id, requestId, kErrorSuccess, {}, nullptr, 0});
}

bool FwBus::Refresh(Node& node) {
    fw_cdev_get_info info{};
    info.version = kAbiVersion;
    info.bus_reset = reinterpret_cast<std::uintptr_t>(&node.reset);
    return m_kernel.Ioctl(node.fd.Get(), FW_CDEV_IOC_GET_INFO, &info) == 0;
}

FwBus::Node* FwBus::UnitNode(UnitId unit) {
    const auto it = m_units.find(unit);
    if (it == m_units.end()) return nullptr;
    const auto node = m_nodes.find(it->second);
    return node == m_nodes.end() ? nullptr : node->second.get();
}

FwBus::Node* FwBus::NodeByNumber(unsigned number) {
    for (const auto& [name, node] : m_nodes) {
        if (node->fd && (node->reset.node_id & 63) == number) return node.get();
    }
    return nullptr;
}

ClientId FwBus::Connect(UnitId unit) {
    const ClientId id = m_nextClient++;
    auto client = std::make_unique<Client>();
    client->unit = unit;
    client->unitGone = UnitNode(unit) == nullptr;
    client->generation = m_generation;
    m_clients[id] = std::move(client);
    return id;
}

void FwBus::Disconnect(ClientId client) {
    const auto it = m_clients.find(client);
    if (it == m_clients.end()) return;
    // Gone first, so that nothing is answered to it while its resources are freed.
    std::unique_ptr<Client> state = std::move(it->second);
    m_clients.erase(it);
    ReleaseClient(client, *state, 0);
}

void FwBus::ReleaseClient(ClientId id, Client& client, std::uint32_t status) {
    if (status != 0) {
        const auto pending = client.pending;
        for (const auto& [requestId, entry] : pending) Abandon(id, requestId, entry, status);
    }
    for (auto it = m_receivers.begin(); it != m_receivers.end();) {
        it = m_isoch.Find(id, it->first) != nullptr ? m_receivers.erase(it) : std::next(it);
    }
    m_isoch.Release(id, status != 0 ? status : kErrorOperationAborted);
    for (auto t = m_transactions.begin(); t != m_transactions.end();) {
        t = t->second->client == id ? m_transactions.erase(t) : std::next(t);
    }
    // Closing the client's file has the kernel give its channels and bandwidth back.
    if (client.isoFd) {
        m_host.Unwatch(client.isoFd.Get());
        client.isoFd.Reset();
    }
    client.allocations.clear();
    client.allocating.clear();
}

void FwBus::Submit(const driver::Request& request) {
    const auto found = m_clients.find(request.client);
    if (found == m_clients.end()) return;
    Client& client = *found->second;
    driver::AcceptRequest(
        client.pending, client.unitGone, request, m_sink, [](Pending&) { return false; },
        [&] { Dispatch(request, client); },
        [this](const driver::Request& r, std::uint32_t status) { Reply(r, status); });
}

void FwBus::Cancel(ClientId client, std::uint32_t id) {
    const auto found = m_clients.find(client);
    if (found == m_clients.end()) return;
    for (const auto& [requestId, entry] : driver::CancelTargets(found->second->pending, id))
        Abandon(client, requestId, entry, kErrorOperationAborted);
}

void FwBus::Abandon(ClientId client, std::uint32_t id, const Pending& pending,
                    std::uint32_t status) {
    if (pending.kind == PendingKind::Isoch) m_isoch.Cancel(std::uint32_t(pending.key), id, status);
    // A transaction in flight is forgotten; its late response finds nobody.
    if (pending.kind == PendingKind::Async) m_transactions.erase(pending.key);
    if (pending.kind == PendingKind::Allocate) {
        if (const auto it = m_clients.find(client); it != m_clients.end())
            it->second->allocating.erase(pending.key);
    }
    Finish({client, id, status, {}, nullptr, 0});
}

void FwBus::Finish(driver::Completion&& completion) {
    const auto found = m_clients.find(completion.client);
    driver::FinishRequest(found != m_clients.end() ? &found->second->pending : nullptr,
                          std::move(completion), m_sink);
}

void FwBus::Reply(const driver::Request& request, std::uint32_t status,
                  std::vector<std::uint8_t> head) {
    if (status != kErrorSuccess) {
        KX_LOG(Simbus, Warn) << "request " << Hex(request.code) << " of client " << request.client
                             << " refused: " << StatusText(status);
    }
    Finish(Answer(request, status, std::move(head)));
}

void FwBus::Dispatch(const driver::Request& request, Client& client) {
    switch (request.code) {
        case driver::kIoctlAsyncRead:
        case driver::kIoctlAsyncWrite:
            return HandleAsync(request, client);
        case driver::kIoctlAsyncBroadcastWrite:
            return HandleBroadcast(request, client);
        case driver::kIoctlNodeAddress:
            return HandleNodeAddress(request, client);
        case driver::kIoctlMaxSpeed:
            return HandleMaxSpeed(request, client);
        case driver::kIoctlConfigInfo:
            return HandleConfigInfo(request, client);
        case driver::kIoctlHostInfo:
            return HandleHostInfo(request);
        case driver::kIoctlCycleTimer:
            return HandleCycleTimer(request, client);
        case driver::kIoctlBusResetRequest:
            return HandleBusResetRequest(request, client);
        case driver::kIoctlBusResetWait:
            if (client.generation != m_generation) {
                client.generation = m_generation;
                return Reply(request, kErrorSuccess);
            }
            client.pending[request.id].kind = PendingKind::ResetWait;
            return;
        case driver::kIoctlHostMemoryRead:
        case driver::kIoctlHostMemoryWrite:
            // The kernel gives no plain window into the controller's own memory.
            return Reply(request, kErrorNotSupported);
        default:
            return HandleIsoch(request, client);
    }
}

void FwBus::HandleNodeAddress(const driver::Request& request, const Client& client) {
    bool host = false;
    if (const std::uint32_t status =
            driver::RequestDecoder::NodeAddress(request.in, request.outSize, host)) {
        return Reply(request, status);
    }
    Node* node = UnitNode(client.unit);
    if (node == nullptr || !Refresh(*node)) return Reply(request, kErrorDeviceNotConnected);
    const std::uint32_t id = host ? node->reset.local_node_id : node->reset.node_id;
    std::vector<std::uint8_t> out = Echo(request, 8);
    StoreLE32(&out[4], id & 0xFFFF);
    Reply(request, kErrorSuccess, std::move(out));
}

void FwBus::HandleMaxSpeed(const driver::Request& request, const Client& client) {
    bool host = false;
    if (const std::uint32_t status =
            driver::RequestDecoder::MaxSpeed(request.in, request.outSize, host)) {
        return Reply(request, status);
    }
    Node* node = UnitNode(client.unit);
    if (node == nullptr) return Reply(request, kErrorDeviceNotConnected);
    // The kernel's speed code to the node (0 S100, 1 S200, 2 S400, ...); the requests know
    // speeds up to S400. The host adapter is taken to reach S400.
    const int code =
        host ? SCODE_400 : m_kernel.Ioctl(node->fd.Get(), FW_CDEV_IOC_GET_SPEED, nullptr);
    if (code < 0) return Reply(request, kErrorDeviceNotConnected);
    std::vector<std::uint8_t> out = Echo(request, 268);
    StoreLE32(&out[264], std::uint32_t{1} << std::min(code, int(SCODE_400)));
    Reply(request, kErrorSuccess, std::move(out));
}

void FwBus::HandleConfigInfo(const driver::Request& request, const Client& client) {
    const Node* node = UnitNode(client.unit);
    if (node == nullptr) return Reply(request, kErrorDeviceNotConnected);
    const CameraRom& rom = node->rom;
    std::vector<std::uint8_t> out;
    const std::uint32_t status = driver::AnswerConfigInfo(
        request, rom.busInfo,
        {&rom.unitDirectory, &rom.unitDependentDirectory, &rom.vendorLeaf, &rom.modelLeaf}, out);
    Reply(request, status, std::move(out));
}

void FwBus::HandleBusResetRequest(const driver::Request& request, const Client& client) {
    if (const std::uint32_t status = driver::RequestDecoder::BusReset(request.in))
        return Reply(request, status);
    Node* node = UnitNode(client.unit);
    if (node == nullptr) return Reply(request, kErrorDeviceNotConnected);
    // A short reset: the kernel lets it wait for the end of the current arbitration.
    fw_cdev_initiate_bus_reset reset{};
    reset.type = FW_CDEV_SHORT_RESET;
    if (m_kernel.Ioctl(node->fd.Get(), FW_CDEV_IOC_INITIATE_BUS_RESET, &reset) != 0)
        return Reply(request, kErrorNotSupported);
    Reply(request, kErrorSuccess);
}

void FwBus::HandleCycleTimer(const driver::Request& request, const Client& client) {
    if (const std::uint32_t status =
            driver::RequestDecoder::CycleTimer(request.in, request.outSize)) {
        return Reply(request, status);
    }
    Node* node = UnitNode(client.unit);
    if (node == nullptr) return Reply(request, kErrorDeviceNotConnected);
    // The kernel reads the controller's timer and the clock together, with interrupts off.
    fw_cdev_get_cycle_timer2 timer{};
    timer.clk_id = CLOCK_MONOTONIC;
    if (m_kernel.Ioctl(node->fd.Get(), FW_CDEV_IOC_GET_CYCLE_TIMER2, &timer) != 0)
        return Reply(request, kErrorDeviceNotConnected);
    const std::int64_t monotonic = timer.tv_sec * 1'000'000'000 + timer.tv_nsec;
    const platform::CycleTimerReading reading{timer.cycle_timer, monotonic,
                                              platform::RealtimeAt(monotonic)};
    std::vector<std::uint8_t> out(driver::kCycleTimerRecordBytes);
    reading.Store(out);
    Reply(request, kErrorSuccess, std::move(out));
}

void FwBus::HandleHostInfo(const driver::Request& request) {
    if (const std::uint32_t status = driver::RequestDecoder::HostInfo(request.in, request.outSize))
        return Reply(request, status);
    std::vector<std::uint8_t> out = Echo(request, 12);
    out.resize(28);
    // Packets are laid out here, in either layout, with or without their headers.
    StoreLE32(&out[driver::kHostInfoCapsOffset],
              driver::kHostCapsConfigurable | driver::kHostCapReceiveContexts);
    StoreLE32(&out[driver::kHostInfoReceiveContextsOffset], m_receiveContexts);
    Reply(request, kErrorSuccess, std::move(out));
}

}  // namespace fw
