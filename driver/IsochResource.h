// One isochronous resource: a listening or talking end on a channel, its attached buffers, the
// filled buffers waiting for isochronous reads, and the requests that pend on it.
//
// A listening attach may share memory (a memfd the client passed): its buffers fill slots of it,
// and a read answers with the slot's offset instead of the bytes. A slot a read delivered is
// the client's until its next read on the resource (or until the attach ends), and is not
// written meanwhile. Filled buffers wait for reads in every other slot but the one being filled.
//
// Single-threaded: the bus calls it from its one thread. Answers go out through the bus's emit
// function, which also forgets them as pending.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "driver/BufferQueue.h"
#include "driver/Completion.h"
#include "driver/PacketRun.h"
#include "driver/RequestDecoder.h"
#include "platform/ClientMemoryBudget.h"

namespace driver {

class IsochResource {
public:
    using Emit = std::function<void(Completion&&)>;

    // What pending attaches hold is charged to the owner in budget, which outlives the resource.
    IsochResource(std::uint32_t handle, ClientId owner, const ResourceRecord& setup, Emit emit,
                  platform::ClientMemoryBudget& budget);

    std::uint32_t Handle() const { return m_handle; }
    ClientId Owner() const { return m_owner; }
    const ResourceRecord& Setup() const { return m_setup; }
    bool Talks() const;
    bool Active() const { return m_active; }

    // Each returns the status to answer now, or kErrorIoPending when the request now pends.
    // A shared attach (memoryFd: the passed memfd, -1 when none came) is refused with
    // kErrorInvalidParameter unless the memory checks out. An attach that would take its
    // client past its budget is refused with kErrorNotEnoughMemory.
    std::uint32_t Attach(std::uint32_t id, const AttachRecord& record,
                         std::span<const std::uint8_t> in, std::uint32_t outSize, std::uint64_t now,
                         bool shared = false, int memoryFd = -1);
    std::uint32_t Read(std::uint32_t id, std::uint32_t bytes, bool negative);
    std::uint32_t Detach(std::uint32_t count);

    void Start(std::uint64_t now);
    // Stops transfer: pending reads answer "nothing delivered", a partly filled buffer is lost.
    void Stop();
    // Answers one pending request (false when it is not pending here) or all of them.
    bool Cancel(std::uint32_t id, std::uint32_t status);
    void CancelAll(std::uint32_t status);

    void Receive(const PacketRun& run);
    // A synchronised buffer (a frame from its start) is partly filled; DropPartial forgets it,
    // counted as a lost buffer (a receiver that saw packets of the frame go missing).
    bool PartialFrame() const;
    void DropPartial();
    // The frame in flight ended without its last packets: a partly filled synchronised buffer
    // is delivered short.
    void EndShortFrame();
    // How the buffer that fills next was attached; null when none is.
    const DescriptorRecord* NextBuffer() const;
    // Talking: when the next buffer is fully sent, and that buffer as a run (it stays valid
    // until the resource changes).
    std::optional<std::uint64_t> TalkDue() const;
    PacketRun TakeTalked();

    std::string Describe() const;

private:
    struct PendingAttach {
        std::uint32_t id;
        std::uint32_t outSize;
        std::vector<std::uint8_t> record;  // header and descriptor fields; data filled on answer
        bool dataAreas;                    // the record has room for the buffers' data
        const platform::ClientMemory* memory = nullptr;  // what its slots lie in, if shared
        platform::ClientMemoryBudget::Charge charge;     // the record and its own buffers
    };
    struct PendingRead {
        std::uint32_t id;
        std::uint32_t bytes;
        bool negative;
    };
    struct Ready {
        BufferQueue::Storage storage;
        std::uint32_t length;
        std::uint64_t cycle;  // of its first packet
    };

    void OnFilled(const BufferQueue::Buffer& buffer);
    // Answers an attach whose buffers are all filled or sent, and lets its buffers go.
    void FinishIfDone(std::uint64_t attachId);
    void AnswerAttach(std::uint64_t attachId, std::uint32_t status);
    void ServeReads();
    // Answers reads that no buffer can serve any more with "nothing delivered".
    void ServeReadsEmpty();
    void AnswerRead(const PendingRead& read, const Ready* ready);
    std::uint32_t CheckDescriptors(const AttachRecord& record) const;
    // The slots of the client's memory for this attach; null (status set) when it does not
    // check out.
    BufferQueue::SharedSlots ShareMemory(const AttachRecord& record, int memoryFd,
                                         std::uint32_t& status) const;
    // Bytes the pending attaches hold.
    std::uint64_t HeldBytes() const;
    std::uint32_t PacketBytes(const DescriptorRecord& setup) const;
    std::uint64_t CyclesToSend(const DescriptorRecord& setup) const;

    std::uint32_t m_handle;
    ClientId m_owner;
    ResourceRecord m_setup;
    Emit m_emit;
    platform::ClientMemoryBudget& m_budget;
    BufferQueue m_buffers;
    bool m_active = false;
    std::uint64_t m_nextAttach = 1;
    std::map<std::uint64_t, PendingAttach> m_attaches;
    std::deque<PendingRead> m_reads;
    std::deque<Ready> m_ready;
    std::vector<BufferQueue::Storage> m_lent;  // shared slots delivered, until the next read
    std::uint64_t m_talkDue = 0;
    BufferQueue::Storage m_talked;  // what the last talked run points into
    std::uint64_t m_delivered = 0;
    std::uint64_t m_lost = 0;
};

}  // namespace driver
