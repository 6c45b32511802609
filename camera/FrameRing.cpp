// Storing frames in the ring, numbering them, and copying them out.
#include "camera/FrameRing.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <numeric>

FrameRing::FrameRing() = default;

bool FrameRing::Alloc(std::uint32_t slotSize, int slotCount) {
    std::scoped_lock lock(m_lock);
    Free();
    if (slotSize == 0 || slotCount <= 0) return false;
    const std::size_t bytes = std::size_t{slotSize} * static_cast<std::size_t>(slotCount);
    // Mapped, not taken from the heap: a large ring costs nothing until it fills, fills with
    // few page faults, and all of it goes back to the system when the capture ends.
    platform::PageBlock block;
    if (!block.Allocate(bytes)) return false;
    try {
        const auto count = static_cast<std::size_t>(slotCount);
        m_Sequence.assign(count, 0);
        m_Arrival.assign(count, 0);
        m_CycleTime.assign(count, 0);
        m_Short.assign(count, 0);
        m_Buffer.resize(count);
        std::iota(m_Buffer.begin(), m_Buffer.end(), 0);
        m_Holder = m_Buffer;
        m_Lent.assign(count, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_block = std::move(block);
    m_nSlotSize = slotSize;
    m_nSlotCount = slotCount;
    return true;
}

bool FrameRing::Prefault() {
    std::scoped_lock lock(m_lock);
    return m_block.Populate();
}

void FrameRing::Free() {
    std::scoped_lock lock(m_lock);
    m_bHasFrame = false;
    m_nSlotCount = 0;
    m_nSlotSize = 0;
    m_nWriteIndex = 0;
    m_nNextSequence = 0;
    if (const int loans = std::accumulate(m_Lent.begin(), m_Lent.end(), 0); loans > 0) {
        // Borrowers still read these bytes: kept until the last of them comes back.
        m_retired.push_back({m_nGeneration, loans, std::move(m_block), std::move(m_spareBlock)});
    }
    m_block.Free();
    m_spareBlock.Free();
    ++m_nGeneration;
    m_nSpares = m_nLentBuffers = 0;
    m_Buffer.clear();
    m_Holder.clear();
    m_Lent.clear();
    m_FreeSpares.clear();
    m_Sequence.clear();
    m_Sequence.shrink_to_fit();
    m_Arrival.clear();
    m_Arrival.shrink_to_fit();
    m_CycleTime.clear();
    m_CycleTime.shrink_to_fit();
    m_Short.clear();
    m_Short.shrink_to_fit();
}

void FrameRing::Store(std::span<const std::uint8_t> frame, std::uint32_t cycleTime) {
    const auto arrival = std::chrono::steady_clock::now().time_since_epoch();
    std::scoped_lock lock(m_lock);
    const int count = m_nSlotCount;
    if (count == 0) {
        ++m_nDropped;
        return;
    }
    const std::size_t slotSize = m_nSlotSize;
    const int index = m_nWriteIndex;
    if (const int lent = m_Buffer[std::size_t(index)]; m_Lent[std::size_t(lent)] > 0) {
        // Never over a lent frame: a spare takes its place (Lend leaves one for each loan).
        const int spare = m_FreeSpares.back();
        m_FreeSpares.pop_back();
        m_Holder[std::size_t(lent)] = -1;
        m_Holder[std::size_t(spare)] = index;
        m_Buffer[std::size_t(index)] = spare;
    }
    std::uint8_t* slot = BufferData(m_Buffer[std::size_t(index)]);
    const std::size_t bytes = std::min(frame.size(), slotSize);
    std::memcpy(slot, frame.data(), bytes);
    const bool shortFrame = bytes < slotSize;
    if (shortFrame) {
        // No tail of an older frame may pass for part of this one.
        std::memset(slot + bytes, 0, slotSize - bytes);
        ++m_nShort;
    }
    m_CycleTime[std::size_t(index)] = cycleTime;
    m_Short[std::size_t(index)] = shortFrame ? 1 : 0;
    m_Sequence[std::size_t(index)] = m_nNextSequence++;
    m_Arrival[std::size_t(index)] =
        std::chrono::duration_cast<std::chrono::nanoseconds>(arrival).count();
    // The index moves first: a reader that sees the frame held also sees where it went.
    m_nWriteIndex = (index + 1) % count;
    m_bHasFrame = true;
    ++m_nStored;
    if (m_bRecording && m_pRecordingEvent != nullptr) m_pRecordingEvent->Set();
    if (m_bSignalPerFrame) m_frameEvent.Set();
}

void FrameRing::OnReadError() {
    ++m_nReadErrors;
    m_bHasFrame = false;
    m_frameEvent.Set();
}

int FrameRing::SlotOf(int slot) const {
    const int count = m_nSlotCount;
    if (slot < 0) {
        slot = m_nWriteIndex - 1;
        if (slot < 0) slot += count;
    }
    return slot % count;
}

bool FrameRing::Copy(void* dst, std::size_t capacity, int slot, int* slotCopied,
                     std::uint16_t* sequence, std::int64_t* arrival) const {
    if (!m_bHasFrame) return false;
    std::scoped_lock lock(m_lock);
    // The ring may have been emptied between the look and the lock.
    if (!m_bHasFrame || m_nSlotCount == 0) return false;
    const std::size_t slotSize = m_nSlotSize;
    if (dst == nullptr || capacity < slotSize) return false;
    const int index = SlotOf(slot);
    std::memcpy(dst, BufferData(m_Buffer[std::size_t(index)]), slotSize);
    if (slotCopied != nullptr) *slotCopied = index;
    if (sequence != nullptr) *sequence = m_Sequence[std::size_t(index)];
    if (arrival != nullptr) *arrival = m_Arrival[std::size_t(index)];
    return true;
}

bool FrameRing::Copy(void* dst, std::size_t capacity, int slot, SlotInfo& info) const {
    if (!m_bHasFrame) return false;
    std::scoped_lock lock(m_lock);
    if (!m_bHasFrame || m_nSlotCount == 0) return false;
    const std::size_t slotSize = m_nSlotSize;
    if (dst == nullptr || capacity < slotSize) return false;
    const auto index = std::size_t(SlotOf(slot));
    std::memcpy(dst, BufferData(m_Buffer[index]), slotSize);
    info = {int(index), m_Sequence[index], m_Arrival[index], m_CycleTime[index], m_Short[index] != 0};
    return true;
}

std::uint8_t* FrameRing::BufferData(int buffer) const {
    const int slots = m_nSlotCount;
    const std::size_t slotSize = m_nSlotSize;
    return buffer < slots ? m_block.Data() + std::size_t(buffer) * slotSize
                          : m_spareBlock.Data() + std::size_t(buffer - slots) * slotSize;
}

bool FrameRing::AddSpares(int count) {
    std::scoped_lock lock(m_lock);
    const int slots = m_nSlotCount;
    if (slots == 0 || m_nSpares != 0 || count <= 0) return false;
    platform::PageBlock block;
    if (!block.Allocate(std::size_t(m_nSlotSize) * std::size_t(count))) return false;
    try {
        m_Holder.resize(std::size_t(slots + count), -1);
        m_Lent.resize(std::size_t(slots + count), 0);
        m_FreeSpares.resize(std::size_t(count));
    } catch (const std::bad_alloc&) {
        m_Holder.resize(std::size_t(slots));
        m_Lent.resize(std::size_t(slots));
        return false;
    }
    std::iota(m_FreeSpares.begin(), m_FreeSpares.end(), slots);
    m_spareBlock = std::move(block);
    m_nSpares = count;
    return true;
}

std::optional<FrameRing::Loan> FrameRing::Lend(int slot, std::uint16_t sequence) {
    std::scoped_lock lock(m_lock);
    if (!m_bHasFrame || m_nSlotCount == 0) return std::nullopt;
    const int index = SlotOf(slot);
    const int buffer = m_Buffer[std::size_t(index)];
    int& loans = m_Lent[std::size_t(buffer)];
    if (m_Sequence[std::size_t(index)] != sequence || (loans == 0 && m_nLentBuffers >= m_nSpares))
        return std::nullopt;
    if (loans++ == 0) ++m_nLentBuffers;
    return Loan{BufferData(buffer),
                m_nSlotSize,
                buffer,
                m_nGeneration,
                sequence,
                m_Arrival[std::size_t(index)],
                m_CycleTime[std::size_t(index)],
                m_Short[std::size_t(index)] != 0};
}

void FrameRing::Return(const Loan& loan) {
    std::scoped_lock lock(m_lock);
    if (loan.generation != m_nGeneration) {
        const auto retired = std::find_if(m_retired.begin(), m_retired.end(), [&](const Retired& r) {
            return r.generation == loan.generation;
        });
        if (retired != m_retired.end() && --retired->loans == 0) m_retired.erase(retired);
        return;
    }
    if (loan.buffer < 0 ||
        loan.buffer >= int(m_Lent.size()) || m_Lent[std::size_t(loan.buffer)] == 0) {
        return;
    }
    if (--m_Lent[std::size_t(loan.buffer)] > 0) return;
    --m_nLentBuffers;
    if (m_Holder[std::size_t(loan.buffer)] < 0) m_FreeSpares.push_back(loan.buffer);
}

int FrameRing::LentCount() const {
    std::scoped_lock lock(m_lock);
    return m_nLentBuffers;
}

int FrameRing::NewestSlot() const {
    if (!m_bHasFrame) return -1;
    const int index = m_nWriteIndex;
    return index == 0 ? m_nSlotCount - 1 : index - 1;
}

int FrameRing::WaitForFrame(std::uint32_t timeoutMs) {
    if (timeoutMs == kWaitForever) {
        m_frameEvent.Wait();
    } else if (!m_frameEvent.WaitFor(std::chrono::milliseconds(timeoutMs))) {
        return -1;
    }
    return NewestSlot();
}

std::uint16_t FrameRing::GetSequence(int slot) const {
    std::scoped_lock lock(m_lock);
    if (m_nSlotCount == 0) return 0;
    const int count = m_nSlotCount;
    return m_Sequence[std::size_t(((slot % count) + count) % count)];
}

std::uint16_t FrameRing::GetNextSequence() const {
    std::scoped_lock lock(m_lock);
    return m_nNextSequence;
}

FrameRing::Stats FrameRing::GetStats() const {
    return {m_nStored, m_nDropped, m_nShort, m_nReadErrors, m_nLost};
}

void FrameRing::SetRecordingEvent(platform::Event* event) {
    std::scoped_lock lock(m_lock);
    m_pRecordingEvent = event;
}
