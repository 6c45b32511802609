// Topology, clients and the request dispatch of the simulated bus.
#include "simbus/Bus.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "driver/ClientRequests.h"
#include "driver/ConfigInfoAnswer.h"
#include "driver/RequestCodes.h"
#include "driver/RequestDecoder.h"
#include "platform/ByteOrder.h"
#include "platform/CycleTimerReading.h"
#include "platform/ErrorCodes.h"
#include "platform/Log.h"

namespace simbus {

using namespace driver;
namespace {

using platform::kErrorDeviceNotConnected;
using platform::kErrorGenFailure;
using platform::kErrorInsufficientBuffer;
using platform::kErrorInvalidHandle;
using platform::kErrorInvalidParameter;
using platform::kErrorIoPending;
using platform::kErrorNotEnoughMemory;
using platform::kErrorOperationAborted;
using platform::kErrorSemTimeout;
using platform::kErrorSuccess;

// The host adapter's memory that host memory requests reach (address-range handle 0).
constexpr std::size_t kHostMemoryBytes = 64 * 1024;
// Frames (and talked buffers) one Advance sends per stream before it lets requests in.
constexpr int kBatchRounds = 4;
constexpr std::uint64_t kAddressSpaceEnd = std::uint64_t{1} << 48;

std::string SpeedName(std::uint32_t speed) {
    // Appended rather than "S" + number: GCC 12 at -O3 warns falsely about the latter.
    std::string name = "S";
    name += std::to_string(100 * speed);
    return name;
}

}  // namespace

Bus::Bus(CompletionSink& sink, const CycleClock& clock, std::uint32_t hostCaps)
    : m_sink(sink),
      m_clock(clock),
      m_hostCaps(hostCaps),
      m_isoch([this](Completion&& completion) { Finish(std::move(completion)); }),
      m_hostMemory(kHostMemoryBytes) {
    m_nodes.push_back(Node::MakeHostAdapter(kSpeed400));
    Renumber();
}

Bus::~Bus() = default;

std::optional<UnitId> Bus::AddCamera(std::uint32_t speed) {
    if (m_nodes.size() >= kMaxNodes) return std::nullopt;
    const UnitId unit = m_nextUnit++;
    Plug(Node::MakeCamera(unit, speed, m_cameraKind, m_cameraFilter));
    return unit;
}

std::optional<UnitId> Bus::AddDevice(std::uint32_t version) {
    if (m_nodes.size() >= kMaxNodes) return std::nullopt;
    const UnitId unit = m_nextUnit++;
    Plug(Node::MakeDevice(unit, version));
    return unit;
}

std::optional<UnitId> Bus::RemoveUnit(std::size_t index) {
    if (index + 1 >= m_nodes.size()) return std::nullopt;
    const UnitId unit = m_nodes[index + 1]->Unit();
    for (auto& [id, client] : m_clients) {
        if (client.unit != unit || client.unitGone) continue;
        client.unitGone = true;
        const auto pending = client.pending;
        for (const auto& [requestId, entry] : pending) {
            Abandon(id, requestId, entry, kErrorDeviceNotConnected);
        }
        m_isoch.Release(id, kErrorDeviceNotConnected);
    }
    m_nodes.erase(m_nodes.begin() + std::ptrdiff_t(index + 1));
    Reset(false);
    return unit;
}

bool Bus::Trigger(std::size_t index, std::string& why) {
    Node* node = index + 1 < m_nodes.size() ? m_nodes[index + 1].get() : nullptr;
    if (node == nullptr || node->Camera() == nullptr) {
        why = "no camera has device number " + std::to_string(index);
        return false;
    }
    why = node->Camera()->ExternalTrigger();
    node->Stream()->Follow(node->Camera()->Stream(), m_clock.Now());
    return true;
}

bool Bus::LoseFrames(std::size_t index, std::uint32_t count, std::string& why) {
    Node* node = index + 1 < m_nodes.size() ? m_nodes[index + 1].get() : nullptr;
    if (node == nullptr || node->Camera() == nullptr) {
        why = "no camera has device number " + std::to_string(index);
        return false;
    }
    m_faults.ArmFor(FaultKind::LostFrame, node->Unit(), count);
    return true;
}

bool Bus::SentFrames(std::size_t index, std::string& text) const {
    Node* node = index + 1 < m_nodes.size() ? m_nodes[index + 1].get() : nullptr;
    if (node == nullptr || node->Camera() == nullptr) {
        text = "no camera has device number " + std::to_string(index);
        return false;
    }
    text.clear();
    for (const IsochStream::Sent& sent : node->Stream()->SentFrames()) {
        const auto at = m_clock.StartOf(sent.cycle).time_since_epoch();
        char line[96];
        std::snprintf(line, sizeof line, "%u 0x%08X %lld\n", sent.counter,
                      platform::CycleTimerOf((sent.cycle + m_cycleTimerOffset) *
                                             platform::kTicksPerCycle),
                      static_cast<long long>(
                          std::chrono::duration_cast<std::chrono::nanoseconds>(at).count()));
        text += line;
    }
    return true;
}

std::size_t Bus::ResetWaits() const {
    std::size_t waits = 0;
    for (const auto& [id, client] : m_clients) {
        for (const auto& [requestId, entry] : client.pending)
            waits += entry.kind == PendingKind::ResetWait;
    }
    return waits;
}

void Bus::Reset(bool renumber, int jumpSeconds) {
    constexpr std::int64_t kTimerRange = 128 * 8000;
    const std::int64_t jump = std::int64_t(jumpSeconds) * 8000 % kTimerRange;
    m_cycleTimerOffset = std::uint64_t((std::int64_t(m_cycleTimerOffset) + jump + kTimerRange) %
                                       kTimerRange);
    if (renumber) ++m_rotation;
    Renumber();
    ++m_generation;
    std::vector<std::pair<ClientId, std::uint32_t>> waits;
    for (const auto& [id, client] : m_clients) {
        for (const auto& [requestId, entry] : client.pending) {
            if (entry.kind == PendingKind::ResetWait) waits.emplace_back(id, requestId);
        }
    }
    for (const auto& [id, requestId] : waits)
        Finish({id, requestId, kErrorSuccess, {}, nullptr, 0});
}

std::vector<UnitId> Bus::Units() const {
    std::vector<UnitId> units;
    for (std::size_t i = 1; i < m_nodes.size(); ++i) units.push_back(m_nodes[i]->Unit());
    return units;
}

ClientId Bus::Connect(UnitId unit) {
    const ClientId id = m_nextClient++;
    m_clients[id] = Client{unit, UnitNode(unit) == nullptr, {}};
    return id;
}

void Bus::Disconnect(ClientId client) {
    // Gone first, so that nothing is answered to it while its resources are freed.
    m_clients.erase(client);
    m_isoch.Release(client, kErrorOperationAborted);
}

void Bus::Submit(const Request& request) {
    ++m_requests;
    const auto found = m_clients.find(request.client);
    if (found == m_clients.end()) return;
    Client& client = found->second;
    const auto stall = [this](Pending& entry) {
        if (!m_faults.Take(FaultKind::Stall)) return false;
        entry.kind = PendingKind::Stall;
        return true;
    };
    AcceptRequest(
        client.pending, client.unitGone, request, m_sink, stall, [&] { Dispatch(request, client); },
        [this](const Request& r, std::uint32_t status) { Reply(r, status); });
}

void Bus::Cancel(ClientId client, std::uint32_t id) {
    const auto found = m_clients.find(client);
    if (found == m_clients.end()) return;
    for (const auto& [requestId, entry] : CancelTargets(found->second.pending, id)) {
        Abandon(client, requestId, entry, kErrorOperationAborted);
    }
}

std::optional<std::uint64_t> Bus::Advance() {
    const std::uint64_t now = m_clock.Now();
    for (int round = 0; round < kBatchRounds; ++round) {
        bool sent = false;
        for (const auto& node : m_nodes) {
            IsochStream* stream = node->Stream();
            const auto due = stream ? stream->DueAt() : std::nullopt;
            if (!due || *due > now) continue;
            SendFrame(*node, *stream, now);
            sent = true;
        }
        sent = m_isoch.SendTalked(now) || sent;
        if (!sent) break;
    }
    std::optional<std::uint64_t> next = m_isoch.NextTalkDue();
    for (const auto& node : m_nodes) {
        const auto due = node->Stream() ? node->Stream()->DueAt() : std::nullopt;
        if (due && (!next || *due < *next)) next = due;
    }
    return next;
}

void Bus::SendFrame(Node& node, IsochStream& stream, std::uint64_t now) {
    if (m_faults.TakeFor(FaultKind::LostFrame, node.Unit())) {
        stream.SkipFrame(now);
        stream.Follow(node.Camera()->Stream(), now);
        return;
    }
    PacketRun run = stream.SendFrame(*node.Camera(), now);
    run.cycle += m_cycleTimerOffset;
    const bool cut = m_faults.Take(FaultKind::ShortFrame) && run.PacketCount() > 1;
    if (cut) {
        // Its last quarter of packets, at least one, never comes.
        const std::size_t count = run.PacketCount();
        const std::size_t kept = count - std::max<std::size_t>(1, count / 4);
        run.payload = run.payload.first(kept * run.bytesPerPacket);
    }
    m_isoch.Deliver(run);
    if (cut) m_isoch.EndShortFrame(run.channel);
    // The frame may have been the last of a one-shot or multi-shot.
    stream.Follow(node.Camera()->Stream(), now);
}

std::string Bus::Status() const {
    const ResourceManager& resources = m_isoch.Resources();
    std::string channels;
    for (unsigned channel = 0; channel < kChannelCount; ++channel) {
        if (!resources.Channels()[channel]) continue;
        channels += ' ';
        channels += std::to_string(channel);
    }
    char line[512];
    std::snprintf(line, sizeof line,
                  "bus: generation %u, rate scale %g, host caps 0x%X, bandwidth %u/%u units, "
                  "channels%s, clients %zu, requests %llu, reset waits %zu, faults %s\n",
                  m_generation, m_clock.RateScale(), m_hostCaps, resources.UnitsUsed(),
                  ResourceManager::kUnitsPerCycle, channels.empty() ? " none" : channels.c_str(),
                  m_clients.size(), static_cast<unsigned long long>(m_requests), ResetWaits(),
                  m_faults.Describe().c_str());
    std::string text = line;
    for (std::size_t i = 0; i < m_nodes.size(); ++i) {
        Node& node = *m_nodes[i];
        text += "node " + std::to_string(node.Number()) + ": ";
        if (node.GetKind() == Node::Kind::HostAdapter) {
            text += "host adapter, " + SpeedName(node.Speed()) + "\n";
            continue;
        }
        text += node.GetKind() == Node::Kind::Camera ? "camera" : "device";
        text += ", unit " + std::to_string(node.Unit()) + " (device " + std::to_string(i - 1) +
                "), " + SpeedName(node.Speed());
        if (IsochStream* stream = node.Stream()) text += ", " + stream->Describe();
        text += "\n";
    }
    for (const std::string& resource : m_isoch.Describe()) text += resource + "\n";
    return text;
}

void Bus::Finish(Completion&& completion) {
    const auto found = m_clients.find(completion.client);
    FinishRequest(found != m_clients.end() ? &found->second.pending : nullptr,
                  std::move(completion), m_sink);
}

void Bus::Reply(const Request& request, std::uint32_t status, std::vector<std::uint8_t> head) {
    if (status != kErrorSuccess) LogRefusal(request, status);
    Finish(Answer(request, status, std::move(head)));
}

void Bus::Dispatch(const Request& request, Client& client) {
    switch (request.code) {
        case kIoctlAsyncRead:
        case kIoctlAsyncWrite:
            return HandleAsync(request, client);
        case kIoctlAsyncBroadcastWrite:
            return HandleBroadcast(request);
        case kIoctlNodeAddress:
            return HandleNodeAddress(request, client);
        case kIoctlMaxSpeed:
            return HandleMaxSpeed(request, client);
        case kIoctlConfigInfo:
            return HandleConfigInfo(request, client);
        case kIoctlHostInfo:
            return HandleHostInfo(request);
        case kIoctlCycleTimer:
            return HandleCycleTimer(request);
        case kIoctlBusResetRequest:
            return HandleBusResetRequest(request);
        case kIoctlHostMemoryRead:
        case kIoctlHostMemoryWrite:
            return HandleHostMemory(request);
        case kIoctlBusResetWait:
            client.pending[request.id].kind = PendingKind::ResetWait;
            return;
        default:
            return HandleIsoch(request, client);
    }
}

void Bus::HandleAsync(const Request& request, const Client& client) {
    const bool write = request.code == kIoctlAsyncWrite;
    AsyncRecord record;
    if (const std::uint32_t status =
            RequestDecoder::Async(request.in, request.outSize, write, record)) {
        return Reply(request, status);
    }
    if (m_faults.Take(FaultKind::AsyncFail)) return Reply(request, kErrorGenFailure);
    Node* target = record.toUnit                        ? UnitNode(client.unit)
                   : (record.nodeAddress >> 6) == kLocalBus ? NodeByNumber(record.nodeAddress & 63)
                                                            : nullptr;
    // Nobody acknowledges a packet sent to a node that is not there.
    if (target == nullptr) return Reply(request, kErrorSemTimeout);
    if (record.offset + record.length > kAddressSpaceEnd)
        return Reply(request, kErrorInvalidParameter);

    if (!write) {
        std::vector<std::uint8_t> out = Echo(request, AsyncRecordBytes(record.length));
        for (std::uint32_t at = 0; at < record.length; at += 4) {
            std::uint32_t value = 0;
            if (target->Read(record.offset + at, value) != CameraModel::Access::Ok) {
                KX_LOG(Simbus, Debug)
                    << "node " << (record.nodeAddress & 63) << " has no readable register at "
                    << platform::Hex(record.offset + at);
                return Reply(request, kErrorGenFailure);
            }
            platform::StoreBE32(&out[kAsyncHeaderBytes + at], value);
        }
        if (m_faults.Take(FaultKind::AsyncShort))
            out.resize(kAsyncHeaderBytes + record.length / 8 * 4);
        return Reply(request, kErrorSuccess, std::move(out));
    }
    // Quadlets are written in order; one the node refuses ends the write, as on a real bus the
    // ones before it stay written.
    std::uint32_t status = kErrorSuccess;
    for (std::uint32_t at = 0; at < record.length && status == kErrorSuccess; at += 4) {
        const std::uint32_t value = platform::LoadBE32(record.data.data() + at);
        if (target->Write(record.offset + at, value) != CameraModel::Access::Ok)
            status = kErrorGenFailure;
    }
    if (target->Camera() != nullptr)
        target->Stream()->Follow(target->Camera()->Stream(), m_clock.Now());
    const std::size_t echo = std::min<std::size_t>(request.outSize, request.in.size());
    Reply(request, status,
          status == kErrorSuccess ? Echo(request, echo) : std::vector<std::uint8_t>());
}

void Bus::HandleBroadcast(const Request& request) {
    AsyncRecord record;
    if (const std::uint32_t status =
            RequestDecoder::BroadcastWrite(request.in, request.outSize, record)) {
        return Reply(request, status);
    }
    if (record.offset + record.length > kAddressSpaceEnd)
        return Reply(request, kErrorInvalidParameter);
    // Every camera takes the packet in the same cycle, so streams it starts begin together;
    // what a camera refuses nobody hears of.
    const std::uint64_t now = m_clock.Now();
    for (const auto& node : m_nodes) {
        if (node->Camera() == nullptr) continue;
        for (std::uint32_t at = 0; at < record.length; at += 4) {
            const std::uint32_t value = platform::LoadBE32(record.data.data() + at);
            if (node->Write(record.offset + at, value) != CameraModel::Access::Ok) break;
        }
        node->Stream()->Follow(node->Camera()->Stream(), now);
    }
    Reply(request, kErrorSuccess,
          Echo(request, std::min<std::size_t>(request.outSize, request.in.size())));
}

void Bus::HandleNodeAddress(const Request& request, const Client& client) {
    bool host = false;
    if (const std::uint32_t status =
            RequestDecoder::NodeAddress(request.in, request.outSize, host)) {
        return Reply(request, status);
    }
    const Node& node = host ? *m_nodes.front() : *UnitNode(client.unit);
    std::vector<std::uint8_t> out = Echo(request, kNodeAddressRecordBytes);
    platform::StoreLE32(&out[4], kLocalBus << 6 | node.Number());
    Reply(request, kErrorSuccess, std::move(out));
}

void Bus::HandleMaxSpeed(const Request& request, const Client& client) {
    bool host = false;
    if (const std::uint32_t status = RequestDecoder::MaxSpeed(request.in, request.outSize, host)) {
        return Reply(request, status);
    }
    const Node& node = host ? *m_nodes.front() : *UnitNode(client.unit);
    std::vector<std::uint8_t> out = Echo(request, kMaxSpeedRecordBytes);
    platform::StoreLE32(&out[264], node.Speed());
    Reply(request, kErrorSuccess, std::move(out));
}

void Bus::HandleConfigInfo(const Request& request, const Client& client) {
    const CameraModel::ConfigRom& rom = UnitNode(client.unit)->Rom();
    std::vector<std::uint8_t> out;
    const std::uint32_t status = AnswerConfigInfo(
        request, rom.busInfo,
        {&rom.unitDirectory, &rom.unitDependentDirectory, &rom.vendorLeaf, &rom.modelLeaf}, out);
    Reply(request, status, std::move(out));
}

void Bus::HandleHostInfo(const Request& request) {
    if (const std::uint32_t status = RequestDecoder::HostInfo(request.in, request.outSize)) {
        return Reply(request, status);
    }
    std::vector<std::uint8_t> out = Echo(request, kHostInfoCapsOffset);
    out.resize(kHostInfoRecordBytes);
    platform::StoreLE32(&out[kHostInfoCapsOffset], m_hostCaps | kHostCapReceiveContexts);
    platform::StoreLE32(&out[kHostInfoReceiveContextsOffset], m_receiveContexts);
    Reply(request, kErrorSuccess, std::move(out));
}

void Bus::HandleBusResetRequest(const Request& request) {
    const std::uint32_t status = RequestDecoder::BusReset(request.in);
    // Answered before the reset, as a controller takes the request and resets the bus after.
    Reply(request, status);
    if (status == kErrorSuccess) Reset(false);
}

void Bus::HandleCycleTimer(const Request& request) {
    if (const std::uint32_t status = RequestDecoder::CycleTimer(request.in, request.outSize)) {
        return Reply(request, status);
    }
    // The timer is computed from the monotonic instant it is read at, so the pair is exact.
    const auto now = std::chrono::steady_clock::now();
    const std::uint64_t ticks =
        m_clock.TicksAt(now) + m_cycleTimerOffset * platform::kTicksPerCycle;
    const std::int64_t monotonic =
        std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
    const platform::CycleTimerReading reading{platform::CycleTimerOf(ticks), monotonic,
                                              platform::RealtimeAt(monotonic)};
    std::vector<std::uint8_t> out(kCycleTimerRecordBytes);
    reading.Store(out);
    Reply(request, kErrorSuccess, std::move(out));
}

void Bus::HandleHostMemory(const Request& request) {
    const bool write = request.code == kIoctlHostMemoryWrite;
    HostMemoryRecord record;
    if (const std::uint32_t status =
            RequestDecoder::HostMemory(request.in, request.outSize, write, record)) {
        return Reply(request, status);
    }
    if (record.handle != 0) return Reply(request, kErrorInvalidHandle);
    if (record.length > m_hostMemory.size()) return Reply(request, kErrorInvalidParameter);
    if (write) {
        std::copy(record.data.begin(), record.data.end(), m_hostMemory.begin());
        return Reply(request, kErrorSuccess,
                     Echo(request, std::min<std::size_t>(request.outSize, request.in.size())));
    }
    std::vector<std::uint8_t> out = Echo(request, kHostMemoryHeaderBytes);
    out.resize(kHostMemoryHeaderBytes + record.length + 4);
    std::copy_n(m_hostMemory.begin(), record.length, out.begin() + kHostMemoryHeaderBytes);
    Reply(request, kErrorSuccess, std::move(out));
}

void Bus::LogRefusal(const Request& request, std::uint32_t status) {
    KX_LOG(Simbus, Warn) << "request " << platform::Hex(request.code) << " of client "
                         << request.client << " refused: " << platform::StatusText(status);
}

void Bus::HandleIsoch(const Request& request, Client& client) {
    const bool read = request.code == kIoctlIsochRead;
    if (read && m_faults.Take(FaultKind::IsochFail)) return Reply(request, kErrorGenFailure);
    const bool negative = read && m_faults.Take(FaultKind::IsochNegative);
    std::uint32_t resource = 0;
    const std::uint32_t status =
        m_isoch.Handle(request, m_hostCaps, m_clock.Now(), negative, resource);
    if (status != kErrorSuccess && status != kErrorIoPending) LogRefusal(request, status);
    const auto entry = client.pending.find(request.id);
    if (status == kErrorIoPending && entry != client.pending.end()) {
        entry->second = {PendingKind::Isoch, resource};
    }
}

void Bus::Abandon(ClientId client, std::uint32_t id, const Pending& pending, std::uint32_t status) {
    if (pending.kind == PendingKind::Isoch) m_isoch.Cancel(pending.resource, id, status);
    // Whatever did not answer through its resource is answered here.
    Finish({client, id, status, {}, nullptr, 0});
}

void Bus::Plug(std::unique_ptr<Node> node) {
    if (IsochStream* stream = node->Stream())
        stream->Follow(node->Camera()->Stream(), m_clock.Now());
    m_nodes.push_back(std::move(node));
    Reset(false);
}

void Bus::Renumber() {
    // The units count up from 0 in plug order and the host adapter, the root, comes last;
    // renumbering turns the numbers round.
    const std::size_t count = m_nodes.size();
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t base = i == 0 ? count - 1 : i - 1;
        m_nodes[i]->SetNumber(unsigned((base + m_rotation) % count));
    }
}

Node* Bus::UnitNode(UnitId unit) {
    for (std::size_t i = 1; i < m_nodes.size(); ++i) {
        if (m_nodes[i]->Unit() == unit) return m_nodes[i].get();
    }
    return nullptr;
}

Node* Bus::NodeByNumber(unsigned number) {
    for (const auto& node : m_nodes) {
        if (node->Number() == number) return node.get();
    }
    return nullptr;
}

}  // namespace simbus
