// Reading a stream's frames in order, and the rule by which it ends.
#include "session/FrameStream.h"

#include <algorithm>

namespace kestrix::session {
namespace {

// Waits are cut into steps so that notices, an Interrupt and the end are seen.
constexpr std::chrono::milliseconds kWaitStep{50};

std::uint64_t Count(const std::function<std::uint64_t()>& counter) {
    return counter ? counter() : 0;
}

}  // namespace

FrameStream::FrameStream(std::shared_ptr<FrameRing> ring, std::uint32_t frameBytes, Bus bus)
    : m_pRing(std::move(ring)),
      m_bus(std::move(bus)),
      m_nSlotBytes(m_pRing->GetSlotSize()),
      m_nFrameBytes(frameBytes),
      m_start(m_pRing->GetStats()),
      m_nSequence0(m_pRing->GetNextSequence()),
      m_nResets0(Count(m_bus.busResets)),
      m_nChanges0(Count(m_bus.deviceChanges)),
      m_lastProgress(Clock::now()),
      m_nStoredSeen(m_start.stored) {
    // Made on the camera object's owner thread, which may always ask: the first frames map.
    ReadCycleTimer(Clock::now(), true, m_start.stored + 1);
}

FrameStream::FrameStream(std::shared_ptr<FrameRing> ring, std::uint32_t frameBytes)
    : FrameStream(std::move(ring), frameBytes, Bus{}) {}

void FrameStream::Interrupt(bool on) {
    m_bInterrupted = on;
    if (on) m_pRing->WakeWaiter();
}

void FrameStream::Stop() { End({}); }

void FrameStream::End(Error reason) {
    {
        std::scoped_lock lock(m_watchLock);
        if (m_bEnded) return;
        m_reason = std::move(reason);
        m_bEnded = true;
    }
    m_pRing->WakeWaiter();
}

Error FrameStream::EndReason() const {
    std::scoped_lock lock(m_watchLock);
    return m_reason;
}

Error FrameStream::WatchFrom(bool mayProbe) {
    if (!m_bEnded) {
        const FrameRing::Stats stats = m_pRing->GetStats();
        const Clock::time_point now = Clock::now();
        if (m_pRing->GetSlotCount() == 0) {
            // The capture went: a device change takes captures down before its notice comes.
            End(Count(m_bus.deviceChanges) != m_nChanges0
                    ? Error(Error::Kind::Unplugged)
                    : Error(Error::Kind::Failed, "the capture ended"));
        } else if (!NoticesEnd(stats, now, mayProbe)) {
            DriverSilent(stats, now, mayProbe);
            ReadCycleTimer(now, mayProbe, stats.stored);
        }
    }
    return EndReason();
}

void FrameStream::ReadCycleTimer(Clock::time_point now, bool mayProbe, std::uint64_t stored) {
    if (!mayProbe || !m_bus.cycleTimer) return;
    {
        std::scoped_lock lock(m_mapLock);
        if (stored == m_nStoredAtReading ||
            (m_lastReading != Clock::time_point{} && now - m_lastReading < kCycleTimerRefresh))
            return;
        m_lastReading = now;
        m_nStoredAtReading = stored;
    }
    // The driver reads the clocks together, so the request's own latency costs no accuracy.
    const std::optional<platform::CycleTimerReading> reading = m_bus.cycleTimer();
    if (!reading) return;
    std::scoped_lock lock(m_mapLock);
    m_mapper.Add(*reading);
}

void FrameStream::MapSentTime(FrameMetadata& meta) const {
    meta.sentNs = meta.sentUtcNs = 0;
    // A driver that stamps no cycle time leaves a cycle count no cycle has.
    if ((meta.cycleTime >> 12 & 0x1FFF) >= platform::kCyclesPerSecond) return;
    std::scoped_lock lock(m_mapLock);
    if (const auto times = m_mapper.Map(meta.cycleTime, meta.arrivalNs)) {
        meta.sentNs = times->monotonicNs;
        meta.sentUtcNs = times->utcNs;
    }
}

bool FrameStream::NoticesEnd(const FrameRing::Stats& stats, Clock::time_point now,
                             bool mayProbe) {
    if (Count(m_bus.deviceChanges) != m_nChanges0) {
        End(Error(Error::Kind::Unplugged));
        return true;
    }
    // An unplug fails the reads and resets the bus before its own notice arrives: that notice
    // gets a moment to name the cause.
    const bool reset = Count(m_bus.busResets) != m_nResets0;
    const bool readsFailed = stats.readErrors != m_start.readErrors;
    if (!reset && !readsFailed) return false;
    Clock::time_point seen;
    {
        std::scoped_lock lock(m_watchLock);
        if (m_troubleSeen == Clock::time_point{}) m_troubleSeen = now;
        seen = m_troubleSeen;
    }
    if (now - seen < kNoticeGrace) return false;
    // Reads that fail with no notice: a driver that died, or one that reports errors.
    const bool driverGone = !reset && mayProbe && m_bus.driverAnswers && !m_bus.driverAnswers();
    End(Error(reset        ? Error::Kind::BusReset
              : driverGone ? Error::Kind::DriverGone
                           : Error::Kind::Failed));
    return true;
}

bool FrameStream::DriverSilent(const FrameRing::Stats& stats, Clock::time_point now,
                               bool mayProbe) {
    {
        std::scoped_lock lock(m_watchLock);
        if (stats.stored != m_nStoredSeen) {
            m_nStoredSeen = stats.stored;
            m_lastProgress = now;
            return false;
        }
        if (!mayProbe || !m_bus.driverAnswers || now - m_lastProgress < kSilenceProbe) return false;
        m_lastProgress = now;
    }
    // A camera on its trigger may be silent for long; a driver that answers is alive.
    if (m_bus.driverAnswers()) return false;
    End(Error(Error::Kind::DriverGone));
    return true;
}

FrameStream::Status FrameStream::Take(const TakeFn& take, FrameMetadata& meta,
                                      std::chrono::milliseconds timeout, bool newest) {
    const Clock::time_point deadline =
        timeout.count() < 0 ? Clock::time_point::max() : Clock::now() + timeout;
    for (;;) {
        if (m_bInterrupted) return Status::Interrupted;
        if (WatchFrom(m_bus.readersProbe) || m_bEnded) return Status::Ended;
        const FrameRing::Stats stats = m_pRing->GetStats();
        const std::uint64_t stored = stats.stored - m_start.stored;
        const auto slots = std::uint64_t(m_pRing->GetSlotCount());
        if (slots != 0 && stored > m_nNext) {
            const std::uint64_t behind = stored - m_nNext;
            // Frames the ring overwrote before they were read, or that Newest skips.
            const std::uint64_t skip =
                newest ? behind - 1 : (behind > slots ? behind - slots : 0);
            const std::uint64_t index = m_nNext + skip;
            const std::uint64_t back = stored - index;  // 1 .. slots
            const auto write = std::uint64_t(m_pRing->GetWriteIndex());
            const int slot = int((write + slots - back % slots) % slots);
            FrameRing::SlotInfo info;
            switch (take(slot, std::uint16_t(m_nSequence0 + index), info)) {
                case Took::Frame: {
                    const std::uint64_t lost = stats.lost - m_start.lost;
                    meta.sequence = index + lost;
                    meta.cycleTime = info.cycleTime;
                    meta.arrivalNs = info.arrival;
                    MapSentTime(meta);
                    meta.lostBefore = lost - m_nLostAccounted;
                    meta.droppedBefore = newest ? 0 : skip;
                    meta.flags = info.shortFrame ? FrameMetadata::kShort : 0;
                    meta.slot = info.slot;
                    m_nLostAccounted = lost;
                    m_nNext = index + 1;
                    m_nDropped += meta.droppedBefore;
                    ++m_nDelivered;
                    return Status::Frame;
                }
                case Took::NoSpare:
                    return Status::NoSpare;
                case Took::Overwritten:
                    continue;  // while we looked: the next look finds a newer one
                case Took::Emptied:
                    break;  // a failed read emptied the ring
            }
        }
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return Status::Timeout;
        const auto step = std::min<Clock::duration>(left, kWaitStep);
        m_pRing->WaitForFrame(
            std::uint32_t(std::chrono::ceil<std::chrono::milliseconds>(step).count()));
    }
}

FrameStream::Status FrameStream::Copy(std::span<std::uint8_t> dst, FrameMetadata& meta,
                                      std::chrono::milliseconds timeout, bool newest) {
    return Take(
        [&](int slot, std::uint16_t wanted, FrameRing::SlotInfo& info) {
            if (!m_pRing->Copy(dst.data(), dst.size(), slot, info)) return Took::Emptied;
            return info.sequence == wanted ? Took::Frame : Took::Overwritten;
        },
        meta, timeout, newest);
}

FrameStream::Status FrameStream::Next(std::span<std::uint8_t> dst, FrameMetadata& meta,
                                      std::chrono::milliseconds timeout) {
    return Copy(dst, meta, timeout, false);
}

FrameStream::Status FrameStream::Newest(std::span<std::uint8_t> dst, FrameMetadata& meta,
                                        std::chrono::milliseconds timeout) {
    return Copy(dst, meta, timeout, true);
}

FrameStream::Status FrameStream::Lend(std::unique_ptr<LentFrame>& lent, FrameMetadata& meta,
                                      std::chrono::milliseconds timeout) {
    return Take(
        [&](int slot, std::uint16_t wanted, FrameRing::SlotInfo& info) {
            if (auto loan = m_pRing->Lend(slot, wanted)) {
                info = {slot, loan->sequence, loan->arrival, loan->cycleTime, loan->shortFrame};
                lent = std::make_unique<LentFrame>(m_pRing, *loan);
                return Took::Frame;
            }
            if (!m_pRing->HasFrame()) return Took::Emptied;
            return m_pRing->GetSequence(slot) == wanted ? Took::NoSpare : Took::Overwritten;
        },
        meta, timeout, false);
}

bool FrameStream::CopySlot(int slot, std::span<std::uint8_t> dst, FrameRing::SlotInfo& info) const {
    return m_pRing->Copy(dst.data(), dst.size(), slot, info);
}

StreamCounters FrameStream::Counters() const {
    const FrameRing::Stats now = m_pRing->GetStats();
    return {now.stored - m_start.stored,
            m_nDelivered,
            m_nDropped,
            now.lost - m_start.lost,
            now.shortFrames - m_start.shortFrames,
            now.readErrors - m_start.readErrors};
}

}  // namespace kestrix::session
