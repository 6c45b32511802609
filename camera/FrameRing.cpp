// Storing frames in the ring, numbering them, and copying them out.
#include "camera/FrameRing.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>

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
        m_Sequence.assign(static_cast<std::size_t>(slotCount), 0);
        m_Arrival.assign(static_cast<std::size_t>(slotCount), 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_block = std::move(block);
    m_nSlotSize = slotSize;
    m_nSlotCount = slotCount;
    return true;
}

void FrameRing::Free() {
    std::scoped_lock lock(m_lock);
    m_bHasFrame = false;
    m_nSlotCount = 0;
    m_nSlotSize = 0;
    m_nWriteIndex = 0;
    m_nNextSequence = 0;
    m_block.Free();
    m_Sequence.clear();
    m_Sequence.shrink_to_fit();
    m_Arrival.clear();
    m_Arrival.shrink_to_fit();
}

void FrameRing::Store(std::span<const std::uint8_t> frame) {
    const auto arrival = std::chrono::steady_clock::now().time_since_epoch();
    std::scoped_lock lock(m_lock);
    const int count = m_nSlotCount;
    if (count == 0) {
        ++m_nDropped;
        return;
    }
    const std::size_t slotSize = m_nSlotSize;
    const int index = m_nWriteIndex;
    std::uint8_t* slot = m_block.Data() + std::size_t(index) * slotSize;
    const std::size_t bytes = std::min(frame.size(), slotSize);
    std::memcpy(slot, frame.data(), bytes);
    if (bytes < slotSize) {
        // No tail of an older frame may pass for part of this one.
        std::memset(slot + bytes, 0, slotSize - bytes);
        ++m_nShort;
    }
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
    std::memcpy(dst, m_block.Data() + std::size_t(index) * slotSize, slotSize);
    if (slotCopied != nullptr) *slotCopied = index;
    if (sequence != nullptr) *sequence = m_Sequence[std::size_t(index)];
    if (arrival != nullptr) *arrival = m_Arrival[std::size_t(index)];
    return true;
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
