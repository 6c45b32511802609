// Starting several cameras together and handing their frame sets to Python.
#include "python/src/GroupStream.h"

#include <cstdio>
#include <cstring>

#include "files/CameraFiles.h"
#include "python/src/CameraSession.h"
#include "python/src/Errors.h"

namespace kxpy {
namespace {

using Status = kestrix::session::FrameStream::Status;

constexpr double kMicrosecondsPerCycle = 125;
constexpr double kDefaultPeriodCycles = 8000 / 15.0;

}  // namespace

GroupStream::GroupStream(std::vector<std::shared_ptr<CameraSession>> sessions, int buffers)
    : m_sessions(std::move(sessions)) {
    std::vector<std::shared_ptr<session::Camera>> cameras;
    std::vector<session::StreamConfig> configs;
    for (const auto& s : m_sessions) {
        configs.push_back(s->Config());
        configs.back().ring = session::RingSize::Frames(buffers);
        cameras.push_back(s->Camera().shared_from_this());
    }
    m_pCameras = std::make_unique<session::CameraGroup>(cameras);
    session::BusPlan plan;
    Check(m_pCameras->Configure(configs, plan));
    std::vector<std::shared_ptr<session::FrameStream>> streams;
    Check(m_pCameras->Start(streams));
    for (std::size_t i = 0; i < streams.size(); ++i) {
        m_formats.push_back(FrameFormat::Of(configs[i].mode, streams[i]->SlotBytes()));
        m_pools.push_back(std::make_shared<FramePool>(streams[i]->SlotBytes(), std::size_t(buffers)));
    }
    std::uint32_t periodUs = 0;
    Check(cameras.front()->Call(
        [&](C1394Dcam& cam, int index) { periodUs = files::GetFramePeriod(cam, index); }));
    m_pSets = std::make_shared<session::StreamGroup>(
        streams, periodUs != 0 ? periodUs / kMicrosecondsPerCycle : kDefaultPeriodCycles);
}

GroupStream::~GroupStream() { Close(); }

kestrix::session::StreamGroup::Counters GroupStream::Counters() const {
    std::scoped_lock lock(m_setsLock);
    return m_pSets ? m_pSets->GetCounters() : m_closedCounters;
}

void GroupStream::Close() {
    std::scoped_lock lock(m_closeLock);
    if (m_bClosed.exchange(true)) return;
    std::shared_ptr<session::StreamGroup> sets;
    {
        std::scoped_lock setsLock(m_setsLock);
        sets = m_pSets;
    }
    for (const auto& stream : sets->Streams()) stream->Interrupt(true);
    // A camera closed or gone has stopped already.
    m_pCameras->Stop();
    std::scoped_lock setsLock(m_setsLock);
    m_closedCounters = sets->GetCounters();
    for (const auto& stream : sets->Streams()) {
        if (const session::Error reason = stream->EndReason(); reason && !m_closedReason)
            m_closedReason = reason;
    }
    m_pSets.reset();
}

std::vector<std::shared_ptr<FrameData>> GroupStream::Next(std::chrono::nanoseconds timeout) {
    std::shared_ptr<session::StreamGroup> sets;
    {
        std::scoped_lock lock(m_setsLock);
        sets = m_pSets;
    }
    session::FrameSet set;
    const Status status =
        sets ? sets->Next(set, std::chrono::ceil<std::chrono::milliseconds>(timeout))
             : Status::Interrupted;
    if (status == Status::Frame) {
        std::vector<std::shared_ptr<FrameData>> frames(set.members.size());
        for (std::size_t i = 0; i < frames.size(); ++i) {
            const session::FrameSet::Member& member = set.members[i];
            if (!member.present) continue;
            frames[i] = std::make_shared<FrameData>(m_pools[i], m_formats[i]);
            std::memcpy(frames[i]->Data(), member.bytes.data(),
                        std::min(member.bytes.size(), m_pools[i]->Bytes()));
            frames[i]->SetMeta(member.meta);
        }
        return frames;
    }
    if (status == Status::Timeout) {
        char text[64];
        std::snprintf(text, sizeof text, "no frame set came from the cameras within %g s",
                      std::chrono::duration<double>(timeout).count());
        throw Timeout(text);
    }
    // A stream that ended with an error says so again on every later call.
    Close();
    std::scoped_lock lock(m_setsLock);
    Check(m_closedReason);
    return {};
}

}  // namespace kxpy
