// Frame sets of several streams, paired by the cycle times the driver stamped the frames with.
#include "session/StreamGroup.h"

#include <algorithm>

namespace kestrix::session {
namespace {

constexpr std::int64_t kCyclesPerSecond = 8000;
constexpr std::int64_t kWrapCycles = 128 * kCyclesPerSecond;  // the seconds field has 7 bits

// seconds:7 cycles:13 offset:12, as a cycle count within the 128 s the register spans.
std::int64_t Cycles(std::uint32_t cycleTime) {
    return std::int64_t((cycleTime >> 25) & 0x7F) * kCyclesPerSecond +
           std::int64_t((cycleTime >> 12) & 0x1FFF);
}

}  // namespace

StreamGroup::StreamGroup(std::vector<std::shared_ptr<FrameStream>> streams, double periodCycles)
    : m_streams(std::move(streams)), m_periodCycles(periodCycles), m_heads(m_streams.size()) {
    m_counters.missing.resize(m_streams.size());
}

StreamGroup::Counters StreamGroup::GetCounters() const {
    std::lock_guard lock(m_countersLock);
    return m_counters;
}

std::int64_t StreamGroup::Unwrap(std::uint32_t cycleTime) {
    const std::int64_t cycles = Cycles(cycleTime);
    if (!m_bAnchored) {
        m_bAnchored = true;
        m_nAnchor = cycles;
        return cycles;
    }
    // The distance from the anchor within the register's span, taken the short way round.
    std::int64_t delta = (cycles - m_nAnchor % kWrapCycles) % kWrapCycles;
    if (delta < 0) delta += kWrapCycles;
    if (delta >= kWrapCycles / 2) delta -= kWrapCycles;
    return m_nAnchor + delta;
}

FrameStream::Status StreamGroup::Read(std::size_t stream,
                                      std::chrono::steady_clock::time_point deadline,
                                      bool withoutLimit) {
    Head& head = m_heads[stream];
    FrameStream& source = *m_streams[stream];
    if (head.bytes.size() < source.SlotBytes()) head.bytes.resize(source.SlotBytes());
    for (;;) {
        const auto left = std::max(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       deadline - std::chrono::steady_clock::now()),
                                   std::chrono::milliseconds(0));
        const FrameStream::Status status =
            source.Next(head.bytes, head.meta, withoutLimit ? FrameStream::kForever : left);
        if (status != FrameStream::Status::Frame) return status;
        head.cycles = Unwrap(head.meta.cycleTime);
        // A frame that came after its set was handed out without it is passed over: taking it
        // would open a set of its own, which every other camera would miss.
        if (m_bAligned && double(head.cycles - m_nAnchor) <= m_periodCycles / 2) continue;
        head.held = true;
        return status;
    }
}

FrameStream::Status StreamGroup::Fill(std::chrono::milliseconds timeout) {
    const bool withoutLimit = timeout < std::chrono::milliseconds(0);
    const auto deadline = withoutLimit ? std::chrono::steady_clock::time_point::max()
                                  : std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (std::size_t i = 0; i < m_streams.size(); ++i) {
            if (m_heads[i].held) continue;
            const FrameStream::Status status = Read(i, deadline, withoutLimit);
            if (status == FrameStream::Status::Ended || status == FrameStream::Status::Interrupted)
                return status;
        }
        const auto held =
            std::count_if(m_heads.begin(), m_heads.end(), [](const Head& h) { return h.held; });
        if (held == 0) return FrameStream::Status::Timeout;
        if (m_bAligned) return FrameStream::Status::Frame;
        // The first set waits for every stream's first frame.
        if (std::size_t(held) < m_heads.size()) return FrameStream::Status::Timeout;
        if (Align()) return FrameStream::Status::Frame;
    }
}

bool StreamGroup::Align() {
    std::int64_t latest = m_heads.front().cycles;
    for (const Head& head : m_heads) latest = std::max(latest, head.cycles);
    bool aligned = true;
    for (Head& head : m_heads) {
        if (double(latest - head.cycles) > m_periodCycles / 2) {
            head.held = false;
            aligned = false;
        }
    }
    m_bAligned = aligned;
    return aligned;
}

FrameStream::Status StreamGroup::Next(FrameSet& set, std::chrono::milliseconds timeout) {
    const FrameStream::Status status = Fill(timeout);
    if (status == FrameStream::Status::Frame) Hand(set);
    return status;
}

void StreamGroup::Hand(FrameSet& set) {
    std::int64_t earliest = 0;
    bool any = false;
    for (const Head& head : m_heads) {
        if (head.held && (!any || head.cycles < earliest)) earliest = head.cycles;
        any = any || head.held;
    }
    set.members.resize(m_heads.size());
    set.index = m_nSets++;
    set.cycleTime = 0;
    std::int64_t last = earliest;
    bool first = true;
    for (std::size_t i = 0; i < m_heads.size(); ++i) {
        Head& head = m_heads[i];
        FrameSet::Member& member = set.members[i];
        member.present = head.held && double(head.cycles - earliest) <= m_periodCycles / 2;
        if (!member.present) continue;
        member.meta = head.meta;
        // The buffers change hands, so nothing is allocated per set once both are sized.
        std::swap(member.bytes, head.bytes);
        head.held = false;
        last = std::max(last, head.cycles);
        if (first) set.cycleTime = member.meta.cycleTime;
        first = false;
    }
    set.skewCycles = std::uint32_t(last - earliest);
    m_nAnchor = earliest;

    std::lock_guard lock(m_countersLock);
    ++m_counters.sets;
    if (!set.Complete()) ++m_counters.incomplete;
    for (std::size_t i = 0; i < set.members.size(); ++i) {
        if (!set.members[i].present) ++m_counters.missing[i];
    }
    m_counters.maxSkewCycles = std::max(m_counters.maxSkewCycles, set.skewCycles);
}

}  // namespace kestrix::session
