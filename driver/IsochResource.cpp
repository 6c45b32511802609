// An isochronous resource's buffers, reads and pacing of what it talks.
#include "driver/IsochResource.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "driver/RequestCodes.h"
#include "platform/ByteOrder.h"
#include "platform/CycleTimerReading.h"
#include "platform/ErrorCodes.h"

namespace driver {
namespace {

using platform::kErrorInsufficientBuffer;
using platform::kErrorInvalidParameter;
using platform::kErrorIoPending;
using platform::kErrorNotEnoughMemory;
using platform::kErrorSuccess;

// The status word of an isochronous read that delivered nothing.
constexpr std::uint32_t kNothingDelivered = 0xFFFF'FFFF;
// Shared slots beyond one per descriptor: one being filled while another waits in the client.
constexpr std::size_t kSpareSharedSlots = 2;
// The most slots one attach's memory is cut into; more memory than that goes unused.
constexpr std::size_t kMostSharedSlots = 64;

// A cycle as the bus's cycle time register gives it, no ticks within the cycle.
std::uint32_t CycleTime(std::uint64_t cycle) {
    return platform::CycleTimerOf(cycle * platform::kTicksPerCycle);
}

BufferQueue::Layout LayoutOf(const ResourceRecord& setup) {
    return {(setup.flags & kResourceStripHeader) != 0, (setup.flags & kResourcePacketBased) != 0,
            (setup.flags & kResourceCircular) != 0, setup.bytesPerPacket};
}

}  // namespace

IsochResource::IsochResource(std::uint32_t handle, ClientId owner, const ResourceRecord& setup,
                             Emit emit, platform::ClientMemoryBudget& budget)
    : m_handle(handle),
      m_owner(owner),
      m_setup(setup),
      m_emit(std::move(emit)),
      m_budget(budget),
      m_buffers(LayoutOf(setup)) {}

bool IsochResource::Talks() const { return (m_setup.flags & kResourceTalk) != 0; }

std::uint32_t IsochResource::CheckDescriptors(const AttachRecord& record) const {
    if (m_buffers.Size() + record.descriptors.size() > m_setup.buffers)
        return kErrorInvalidParameter;
    for (const DescriptorRecord& d : record.descriptors) {
        if (d.length > m_setup.bytesPerBuffer || d.bytesPerPacket > m_setup.bytesPerPacket) {
            return kErrorInvalidParameter;
        }
    }
    return kErrorSuccess;
}

std::uint32_t IsochResource::Attach(std::uint32_t id, const AttachRecord& record,
                                    std::span<const std::uint8_t> in, std::uint32_t outSize,
                                    std::uint64_t now, bool shared, int memoryFd) {
    if (const std::uint32_t status = CheckDescriptors(record)) return status;
    // Only shared memory can take received data that has no place in the record.
    if (!record.dataAreas && (!shared || Talks())) return kErrorInvalidParameter;
    // Received data is the answer, so the caller must have room for the whole record.
    if (!Talks() && outSize < record.totalSize) return kErrorInsufficientBuffer;
    // Held until answered: the record, and the buffers' own memory unless the client shares its.
    std::uint64_t held = record.totalSize;
    if (!shared) {
        for (const DescriptorRecord& d : record.descriptors) held += d.length;
    }
    platform::ClientMemoryBudget::Charge charge = m_budget.Take(m_owner, held);
    if (!charge) return kErrorNotEnoughMemory;
    BufferQueue::SharedSlots slots;
    if (shared) {
        std::uint32_t status = kErrorSuccess;
        slots = ShareMemory(record, memoryFd, status);
        if (!slots) return status;
    }

    const std::uint64_t attachId = m_nextAttach++;
    PendingAttach pending{id,
                          outSize,
                          std::vector<std::uint8_t>(record.totalSize),
                          record.dataAreas,
                          slots ? slots->front()->Memory() : nullptr,
                          std::move(charge)};
    std::memcpy(pending.record.data(), in.data(), kAttachHeaderBytes);
    const bool wasIdle = m_buffers.Current() == nullptr;
    for (const DescriptorRecord& d : record.descriptors) {
        const std::size_t fields = d.dataOffset - kDescriptorFieldBytes;
        std::memcpy(pending.record.data() + fields, in.data() + fields, kDescriptorFieldBytes);
        const auto data =
            Talks() ? in.subspan(d.dataOffset, d.length) : std::span<const std::uint8_t>();
        m_buffers.Attach(d, attachId, data, slots);
    }
    m_attaches.emplace(attachId, std::move(pending));
    if (Talks() && wasIdle) m_talkDue = now + CyclesToSend(m_buffers.Current()->setup);
    return kErrorIoPending;
}

BufferQueue::SharedSlots IsochResource::ShareMemory(const AttachRecord& record, int memoryFd,
                                                    std::uint32_t& status) const {
    status = kErrorInvalidParameter;
    std::size_t length = 0;
    for (const DescriptorRecord& d : record.descriptors)
        length = std::max<std::size_t>(length, d.length);
    // Talked data comes in the record; a shared buffer serves reception only.
    if (Talks() || length == 0 || record.descriptors.empty()) return nullptr;
    const std::size_t fewest = record.descriptors.size() + kSpareSharedSlots;
    // A read answers with a slot's offset in one 32-bit word.
    const std::size_t most =
        std::min(kMostSharedSlots, std::size_t{std::numeric_limits<std::uint32_t>::max()} / length);
    if (fewest > most) return nullptr;
    // Every further slot holds one more filled buffer, as a longer DMA ring would.
    std::shared_ptr<platform::ClientMemory> memory =
        platform::ClientMemory::Adopt(memoryFd, {length, fewest, most}, m_budget, m_owner, status);
    if (!memory) return nullptr;
    auto slots = std::make_shared<std::vector<BufferQueue::Storage>>();
    for (std::size_t i = 0; i < memory->SlotCount(); ++i)
        slots->push_back(std::make_shared<BufferStorage>(memory, i));
    return slots;
}

std::uint32_t IsochResource::Read(std::uint32_t id, std::uint32_t bytes, bool negative) {
    if (Talks()) return kErrorInvalidParameter;
    // The client is done with what its earlier reads delivered.
    m_lent.clear();
    if (bytes < m_setup.bytesPerBuffer) return kErrorInsufficientBuffer;
    m_reads.push_back({id, bytes, negative});
    ServeReads();
    if (!m_active || m_buffers.Size() == 0) ServeReadsEmpty();
    return kErrorIoPending;
}

std::uint32_t IsochResource::Detach(std::uint32_t count) {
    // Buffers whose attach was answered are detached already, so fewer may be left.
    for (const std::uint64_t attachId : m_buffers.Detach(count))
        AnswerAttach(attachId, kErrorSuccess);
    if (m_buffers.Size() == 0) ServeReadsEmpty();
    return kErrorSuccess;
}

void IsochResource::Start(std::uint64_t now) {
    m_active = true;
    if (Talks() && m_buffers.Current() != nullptr) {
        m_talkDue = now + CyclesToSend(m_buffers.Current()->setup);
    }
}

void IsochResource::Stop() {
    m_active = false;
    m_buffers.Restart();
    ServeReadsEmpty();
}

bool IsochResource::Cancel(std::uint32_t id, std::uint32_t status) {
    const auto read = std::find_if(m_reads.begin(), m_reads.end(),
                                   [id](const PendingRead& r) { return r.id == id; });
    if (read != m_reads.end()) {
        m_reads.erase(read);
        m_emit({m_owner, id, status, {}, nullptr, 0});
        return true;
    }
    const auto attach = std::find_if(m_attaches.begin(), m_attaches.end(),
                                     [id](const auto& entry) { return entry.second.id == id; });
    if (attach == m_attaches.end()) return false;
    const std::uint64_t attachId = attach->first;
    // The caller's buffers go with its request.
    m_buffers.Remove(attachId);
    AnswerAttach(attachId, status);
    return true;
}

void IsochResource::CancelAll(std::uint32_t status) {
    while (!m_reads.empty()) Cancel(m_reads.front().id, status);
    while (!m_attaches.empty()) Cancel(m_attaches.begin()->second.id, status);
    m_buffers.Clear();
    m_ready.clear();
    m_lent.clear();
}

void IsochResource::Receive(const PacketRun& run) {
    if (!m_active || Talks()) return;
    m_buffers.Receive(run, [this](const BufferQueue::Buffer& buffer) { OnFilled(buffer); });
}

bool IsochResource::PartialFrame() const {
    const BufferQueue::Buffer* buffer = m_buffers.Current();
    return buffer != nullptr && m_buffers.Partial() &&
           (buffer->setup.flags & ~kDescriptorMarker) == kDescriptorSync;
}

void IsochResource::DropPartial() {
    if (!PartialFrame()) return;
    m_buffers.Restart();
    ++m_lost;
}

void IsochResource::EndShortFrame() {
    if (!PartialFrame()) return;
    m_buffers.EndFrame([this](const BufferQueue::Buffer& buffer) { OnFilled(buffer); });
}

const DescriptorRecord* IsochResource::NextBuffer() const {
    const BufferQueue::Buffer* buffer = m_buffers.Current();
    return buffer != nullptr ? &buffer->setup : nullptr;
}

std::optional<std::uint64_t> IsochResource::TalkDue() const {
    if (!m_active || !Talks() || m_buffers.Current() == nullptr) return std::nullopt;
    return m_talkDue;
}

PacketRun IsochResource::TakeTalked() {
    const BufferQueue::Buffer& buffer = *m_buffers.Current();
    const std::uint32_t mode = buffer.setup.flags & ~kDescriptorMarker;
    PacketRun run;
    run.channel = m_setup.channel;
    run.tag = mode == kDescriptorTag ? buffer.setup.tagValue : 0;
    run.firstSy = mode == kDescriptorSync ? buffer.setup.syncValue : 0;
    run.bytesPerPacket = PacketBytes(buffer.setup);
    run.payload = std::span<const std::uint8_t>(buffer.storage->data(), buffer.setup.length);
    run.cycle = m_talkDue - CyclesToSend(buffer.setup);
    const std::uint64_t attachId = buffer.attachId;
    m_buffers.Advance();
    ++m_delivered;
    // The run goes on pointing into the storage while the attach that owned it is answered.
    m_talked = buffer.storage;
    FinishIfDone(attachId);
    if (const BufferQueue::Buffer* next = m_buffers.Current())
        m_talkDue += CyclesToSend(next->setup);
    return run;
}

std::string IsochResource::Describe() const {
    char text[256];
    std::snprintf(text, sizeof text,
                  "resource 0x%X: %s channel %u, %zu of %u buffers of %u B, %s, delivered %llu, "
                  "lost %llu, dropped packets %llu, holds %llu KiB",
                  m_handle, Talks() ? "talk" : "listen", m_setup.channel, m_buffers.Size(),
                  m_setup.buffers, m_setup.bytesPerBuffer, m_active ? "running" : "stopped",
                  static_cast<unsigned long long>(m_delivered),
                  static_cast<unsigned long long>(m_lost),
                  static_cast<unsigned long long>(m_buffers.DroppedPackets()),
                  static_cast<unsigned long long>(HeldBytes() / 1024));
    return text;
}

std::uint64_t IsochResource::HeldBytes() const {
    std::uint64_t held = 0;
    for (const auto& [attachId, attach] : m_attaches) {
        held += attach.charge.Bytes() + (attach.memory ? attach.memory->HeldBytes() : 0);
    }
    return held;
}

void IsochResource::OnFilled(const BufferQueue::Buffer& buffer) {
    m_ready.push_back({buffer.storage, buffer.received, buffer.cycle});
    // Buffers wait only as long as the hardware would keep them: one per attached descriptor, or
    // in shared memory every slot but the one being filled and the one the client reads.
    const std::size_t room = buffer.slots ? buffer.slots->size() - kSpareSharedSlots
                                          : std::max<std::size_t>(1, m_buffers.Size());
    while (m_ready.size() > room) {
        m_ready.pop_front();
        ++m_lost;
    }
    ServeReads();
    FinishIfDone(buffer.attachId);
}

void IsochResource::FinishIfDone(std::uint64_t attachId) {
    if (!m_buffers.AttachDone(attachId)) return;
    AnswerAttach(attachId, kErrorSuccess);
    // Answered buffers are the caller's again, as if detached.
    m_buffers.Remove(attachId);
}

void IsochResource::AnswerAttach(std::uint64_t attachId, std::uint32_t status) {
    const auto it = m_attaches.find(attachId);
    if (it == m_attaches.end()) return;
    PendingAttach attach = std::move(it->second);
    m_attaches.erase(it);
    Completion completion{m_owner, attach.id, status, {}, nullptr, 0};
    if (status == kErrorSuccess) {
        if (attach.dataAreas) m_buffers.CopyOut(attachId, attach.record);
        attach.record.resize(std::min<std::size_t>(attach.record.size(), attach.outSize));
        completion.head = std::move(attach.record);
    }
    m_emit(std::move(completion));
    // The client's memory is its own again: nothing waits in it or is delivered from it.
    if (attach.memory != nullptr) {
        const auto inMemory = [&](const BufferQueue::Storage& storage) {
            return storage->Memory() == attach.memory;
        };
        std::erase_if(m_ready, [&](const Ready& ready) { return inMemory(ready.storage); });
        std::erase_if(m_lent, inMemory);
    }
}

void IsochResource::ServeReads() {
    while (!m_reads.empty() && !m_ready.empty()) {
        const PendingRead read = m_reads.front();
        const Ready ready = std::move(m_ready.front());
        m_reads.pop_front();
        m_ready.pop_front();
        AnswerRead(read, &ready);
    }
}

void IsochResource::ServeReadsEmpty() {
    while (!m_reads.empty()) {
        const PendingRead read = m_reads.front();
        m_reads.pop_front();
        AnswerRead(read, nullptr);
    }
}

void IsochResource::AnswerRead(const PendingRead& read, const Ready* ready) {
    const bool delivers = ready != nullptr && !read.negative;
    if (ready != nullptr && read.negative) ++m_lost;
    if (delivers) ++m_delivered;
    Completion completion{m_owner,       read.id,
                          kErrorSuccess, std::vector<std::uint8_t>(kIsochReadHeaderBytes),
                          nullptr,       0};
    platform::StoreLE32(&completion.head[0], m_handle);
    platform::StoreLE32(&completion.head[4], delivers ? ready->length : kNothingDelivered);
    // A delivered frame carries when it came, as a host adapter stamps its packets: the bus's
    // cycle time (seconds, cycle count) of its first packet. Nothing delivered echoes b.
    platform::StoreLE32(&completion.head[kIsochReadCycleTimeOffset],
                        delivers ? CycleTime(ready->cycle) : read.bytes);
    if (delivers && ready->storage->Memory() != nullptr) {
        // Already in place: the answer says where.
        platform::StoreLE32(&completion.head[kIsochReadSharedOffset],
                            std::uint32_t(ready->storage->Offset()));
        m_lent.push_back(ready->storage);
    } else if (delivers) {
        completion.body = ready->storage;
        completion.bodyLength = ready->length;
    }
    m_emit(std::move(completion));
}

std::uint32_t IsochResource::PacketBytes(const DescriptorRecord& setup) const {
    return setup.bytesPerPacket != 0 ? setup.bytesPerPacket : m_setup.bytesPerPacket;
}

std::uint64_t IsochResource::CyclesToSend(const DescriptorRecord& setup) const {
    const std::uint64_t packet = std::max<std::uint32_t>(1, PacketBytes(setup));
    return std::max<std::uint64_t>(1, (setup.length + packet - 1) / packet);
}

}  // namespace driver
