// STAND-IN, to be dropped when the camera group, the stream group and the bus planner land:
// the least of them that lets the several-camera front ends build and run. Cameras started
// back to back, frames paired by cycle time without any care for the corner cases.
#include "session/BusPlanner.h"
#include "session/CameraGroup.h"
#include "session/FrameSet.h"
#include "session/StreamGroup.h"

#include <map>
#include <optional>

namespace kestrix::session {

Error BusPlanner::Plan(const std::vector<std::shared_ptr<Camera>>&,
                       const std::vector<StreamConfig>&, BusPlan& plan) {
    plan = {};
    plan.fits = true;
    return {};
}

CameraGroup::CameraGroup(std::vector<std::shared_ptr<Camera>> cameras)
    : m_cameras(std::move(cameras)) {}

CameraGroup::~CameraGroup() { Stop(); }

Error CameraGroup::Configure(const std::vector<StreamConfig>& configs, BusPlan& plan) {
    if (Error error = BusPlanner::Plan(m_cameras, configs, plan)) return error;
    for (std::size_t i = 0; i < m_cameras.size(); ++i) {
        if (Error error = m_cameras[i]->Configure(configs[i])) return error;
    }
    return {};
}

Error CameraGroup::Start(std::vector<std::shared_ptr<FrameStream>>& streams) {
    streams.assign(m_cameras.size(), nullptr);
    for (std::size_t i = 0; i < m_cameras.size(); ++i) {
        if (Error error = m_cameras[i]->Start(streams[i], false)) return error;
    }
    m_bBroadcast = false;
    for (const auto& camera : m_cameras) {
        if (Error error = camera->SetTransmission(true)) return error;
    }
    return {};
}

Error CameraGroup::Trigger() { return Error(Error::Kind::Failed, "no group trigger yet"); }

Error CameraGroup::Stop() {
    Error first;
    for (const auto& camera : m_cameras) {
        if (camera->GetState() != Camera::State::Streaming) continue;
        if (Error error = camera->Stop(); error && !first) first = error;
    }
    return first;
}

bool FrameSet::Complete() const {
    for (const Member& member : members) {
        if (!member.present) return false;
    }
    return true;
}

namespace {

constexpr int kCycleSpan = 128 * 8000;  // the cycle time's seconds wrap

int Cycles(std::uint32_t cycleTime) {
    return int(cycleTime >> 25) * 8000 + int((cycleTime >> 12) & 0x1FFF);
}

// b - a in cycles, across the wrap.
int Distance(std::uint32_t a, std::uint32_t b) {
    int d = (Cycles(b) - Cycles(a)) % kCycleSpan;
    if (d > kCycleSpan / 2) d -= kCycleSpan;
    if (d < -kCycleSpan / 2) d += kCycleSpan;
    return d;
}

// The header leaves no room for the frames read ahead: kept here by group.
std::mutex g_pendingLock;
std::map<const StreamGroup*, std::vector<std::optional<FrameSet::Member>>> g_pending;

}  // namespace

StreamGroup::StreamGroup(std::vector<std::shared_ptr<FrameStream>> streams, double periodCycles)
    : m_streams(std::move(streams)), m_periodCycles(periodCycles) {
    m_counters.missing.assign(m_streams.size(), 0);
    const std::lock_guard hold(g_pendingLock);
    g_pending[this].resize(m_streams.size());
}

FrameStream::Status StreamGroup::Next(FrameSet& set, std::chrono::milliseconds timeout) {
    std::vector<std::optional<FrameSet::Member>>* pending = nullptr;
    {
        const std::lock_guard hold(g_pendingLock);
        pending = &g_pending[this];
    }
    std::optional<std::size_t> earliest;
    for (std::size_t i = 0; i < m_streams.size(); ++i) {
        auto& slot = (*pending)[i];
        if (!slot) {
            FrameSet::Member member;
            member.bytes.resize(m_streams[i]->SlotBytes());
            const auto status = m_streams[i]->Next(member.bytes, member.meta, timeout);
            if (status == FrameStream::Status::Ended || status == FrameStream::Status::Interrupted)
                return status;
            if (status == FrameStream::Status::Frame) {
                member.present = true;
                slot = std::move(member);
            }
        }
        if (slot && (!earliest ||
                     Distance((*pending)[*earliest]->meta.cycleTime, slot->meta.cycleTime) < 0))
            earliest = i;
    }
    if (!earliest) return FrameStream::Status::Timeout;
    const std::uint32_t first = (*pending)[*earliest]->meta.cycleTime;
    set.members.assign(m_streams.size(), {});
    set.skewCycles = 0;
    const std::lock_guard hold(m_countersLock);
    for (std::size_t i = 0; i < m_streams.size(); ++i) {
        auto& slot = (*pending)[i];
        const int d = slot ? Distance(first, slot->meta.cycleTime) : 0;
        if (slot && d <= m_periodCycles / 2) {
            set.members[i] = std::move(*slot);
            slot.reset();
            set.skewCycles = std::max(set.skewCycles, std::uint32_t(d));
        } else {
            ++m_counters.missing[i];
        }
    }
    set.cycleTime = first;
    set.index = m_counters.sets++;
    if (!set.Complete()) ++m_counters.incomplete;
    m_counters.maxSkewCycles = std::max(m_counters.maxSkewCycles, set.skewCycles);
    return FrameStream::Status::Frame;
}

StreamGroup::Counters StreamGroup::GetCounters() const {
    const std::lock_guard hold(m_countersLock);
    return m_counters;
}

}  // namespace kestrix::session
