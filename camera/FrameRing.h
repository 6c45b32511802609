// The frame ring of one capture: slot count x slot size bytes in one block, an unsigned 16-bit
// sequence number per slot, the auto-reset frame event that wakes readers, and the capture's
// frame counters.
//
// A reader may also borrow a frame in place instead of copying it, once the ring has spare
// buffers: the ring never overwrites a lent frame, but stores the slot's next frame into a spare
// and takes the lent buffer as a spare when it comes back. At most as many frames are out as
// there are spares, so the capture keeps all its slots whatever the borrowers hold.
//
// Threading: the receive thread stores frames; any thread waits, copies, borrows and returns.
// m_lock guards the blocks, the sequence numbers, arrival times, cycle stamps and short flags, the next sequence number, the
// recording event and the lending books; what readers look at without the lock (write index, slot
// count, slot size, has-frame, flags, counters) is atomic. Readers hold the ring by shared_ptr,
// so a reader still waiting when its capture is torn down never meets a freed ring.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/Event.h"
#include "platform/Lock.h"
#include "platform/PageBlock.h"

class FrameRing {
public:
    struct Stats {
        std::uint64_t stored = 0;       // frames stored in a slot
        std::uint64_t dropped = 0;      // reads that delivered nothing (negative status)
        std::uint64_t shortFrames = 0;  // stored, but fewer bytes than a slot came (rest zeroed)
        std::uint64_t readErrors = 0;   // failed reads
        // Frames that never reached the ring: every read that delivered nothing, and the frame
        // periods that the cycle stamps of a free-running camera's frames show missing (a
        // stalled driver or bus loses frames without a read failing).
        std::uint64_t lost = 0;
    };
    static constexpr std::uint32_t kWaitForever = 0xFFFFFFFF;
    // A frame lent in place: valid, and unchanged, until handed back with Return.
    struct Loan {
        const std::uint8_t* data = nullptr;
        std::size_t size = 0;  // the slot size
        int buffer = -1;
        std::uint64_t generation = 0;  // of the ring's memory it came from
        std::uint16_t sequence = 0;
        std::int64_t arrival = 0;
        std::uint32_t cycleTime = 0;
        bool shortFrame = false;
    };
    // What the ring knows of the frame in a slot besides its bytes.
    struct SlotInfo {
        int slot = -1;
        std::uint16_t sequence = 0;
        std::int64_t arrival = 0;     // steady-clock (CLOCK_MONOTONIC) nanoseconds at the store
        std::uint32_t cycleTime = 0;  // the bus cycle stamp the driver gave the frame
        bool shortFrame = false;      // fewer bytes came than a slot holds (the rest is zeroed)
    };

    FrameRing();
    FrameRing(const FrameRing&) = delete;
    FrameRing& operator=(const FrameRing&) = delete;

    // Replaces any previous ring with a zeroed one; false (leaving no ring) when memory is short
    // or the shape holds nothing.
    bool Alloc(std::uint32_t slotSize, int slotCount);
    void Free();
    // Brings the slots' pages in now, before frames come: otherwise the first round of a fresh
    // ring pays the system's first touch of each page (on a virtual machine several times the
    // copy) on the receive path, and a fast stream loses frames meanwhile. false when the
    // system could not give them all.
    bool Prefault();

    // Copies a frame into the next slot (at most the slot size; a shorter frame's rest is
    // zeroed), numbers it, keeps its cycle stamp and wakes the readers. Without a ring the frame
    // counts as dropped.
    void Store(std::span<const std::uint8_t> frame, std::uint32_t cycleTime = 0);
    // A read delivered nothing: its frame is dropped and lost.
    void CountDropped() {
        ++m_nDropped;
        ++m_nLost;
    }
    void CountLost(std::uint64_t frames) { m_nLost += frames; }
    // A read failed: no frame is held any more, and a waiting reader returns at once.
    void OnReadError();

    // Copies one slot (negative: the newest; others modulo the slot count) into dst, which has
    // room for capacity bytes; false while no frame is held or when a slot does not fit. arrival
    // gets the moment the frame was stored, in steady-clock (CLOCK_MONOTONIC) nanoseconds.
    bool Copy(void* dst, std::size_t capacity, int slot, int* slotCopied,
              std::uint16_t* sequence = nullptr, std::int64_t* arrival = nullptr) const;
    // The same, with everything the ring knows of the frame.
    bool Copy(void* dst, std::size_t capacity, int slot, SlotInfo& info) const;
    // Adds count zeroed spare buffers for lending, once per ring; false without a ring, when
    // spares were added already, or when memory is short.
    bool AddSpares(int count);
    // Lends the frame in slot (modulo the slot count) when it has the sequence number expected
    // and a spare is left to take its place; nothing otherwise.
    std::optional<Loan> Lend(int slot, std::uint16_t sequence);
    // Hands a lent frame back; from any thread, also after the ring was freed or allocated anew.
    void Return(const Loan& loan);
    // Buffers lent out now.
    int LentCount() const;

    // The slot that holds the newest frame, -1 while none is held.
    int NewestSlot() const;
    // Waits up to timeoutMs (kWaitForever: without limit) for a stored frame; the newest slot,
    // or -1 on time-out or when no frame is held.
    int WaitForFrame(std::uint32_t timeoutMs);
    void ResetFrameEvent() { m_frameEvent.Reset(); }
    // Releases one waiter, as a stored frame would.
    void WakeWaiter() { m_frameEvent.Set(); }

    int GetSlotCount() const { return m_nSlotCount; }
    std::uint32_t GetSlotSize() const { return m_nSlotSize; }
    int GetWriteIndex() const { return m_nWriteIndex; }
    bool HasFrame() const { return m_bHasFrame; }
    // The sequence number of the frame in slot (taken modulo the slot count); 0 without a ring.
    std::uint16_t GetSequence(int slot) const;
    std::uint16_t GetNextSequence() const;
    Stats GetStats() const;

    // When set, every stored frame signals the frame event.
    void SetSignalPerFrame(bool on) { m_bSignalPerFrame = on; }
    // The event signalled after each stored frame while recording is on; null for none. Once
    // this returns, the previous event is signalled no more.
    void SetRecordingEvent(platform::Event* event);
    void SetRecording(bool on) { m_bRecording = on; }
    bool IsRecording() const { return m_bRecording; }

private:
    int SlotOf(int slot) const;
    // The bytes of a buffer: slots' first, then spares.
    std::uint8_t* BufferData(int buffer) const;

    // Guards m_block, m_Sequence, m_Arrival, m_CycleTime, m_Short, m_nNextSequence, m_pRecordingEvent and the lending
    // books below.
    mutable platform::Lock m_lock;
    platform::PageBlock m_block;
    platform::PageBlock m_spareBlock;
    // Memory of an earlier allocation that frames were still lent from when it was freed.
    struct Retired {
        std::uint64_t generation = 0;
        int loans = 0;
        platform::PageBlock ring;
        platform::PageBlock spares;
    };
    std::vector<Retired> m_retired;
    std::vector<int> m_Buffer;                   // by slot: the buffer that holds its frame
    std::vector<int> m_Holder;                   // by buffer: the slot it serves, -1 for none
    std::vector<int> m_Lent;                     // by buffer: loans out
    std::vector<int> m_FreeSpares;
    int m_nSpares = 0;
    int m_nLentBuffers = 0;
    std::uint64_t m_nGeneration = 0;
    std::vector<std::uint16_t> m_Sequence;
    std::vector<std::int64_t> m_Arrival;
    std::vector<std::uint32_t> m_CycleTime;
    std::vector<std::uint8_t> m_Short;
    std::uint16_t m_nNextSequence = 0;
    platform::Event* m_pRecordingEvent = nullptr;

    std::atomic<int> m_nSlotCount{0};
    std::atomic<std::uint32_t> m_nSlotSize{0};
    std::atomic<int> m_nWriteIndex{0};
    std::atomic<bool> m_bHasFrame{false};
    std::atomic<bool> m_bSignalPerFrame{false};
    std::atomic<bool> m_bRecording{false};
    std::atomic<std::uint64_t> m_nStored{0};
    std::atomic<std::uint64_t> m_nDropped{0};
    std::atomic<std::uint64_t> m_nShort{0};
    std::atomic<std::uint64_t> m_nReadErrors{0};
    std::atomic<std::uint64_t> m_nLost{0};
    platform::Event m_frameEvent{platform::EventMode::AutoReset};
};
