// Several open cameras streaming together as Python sees them: started as one group, their
// frames handed out as frame sets (one Frame per camera, none where the camera missed the
// set), the sets' counters, and the end reasons as Python exceptions.
//
// Threading: Next, Close and Counters from any thread; one Next at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "python/src/FrameData.h"
#include "session/CameraGroup.h"
#include "session/StreamGroup.h"

namespace kxpy {

class CameraSession;

class GroupStream {
public:
    // Sets every camera's mode up and starts them together; throws on failure.
    GroupStream(std::vector<std::shared_ptr<CameraSession>> sessions, int buffers);
    ~GroupStream();  // closes
    GroupStream(const GroupStream&) = delete;
    GroupStream& operator=(const GroupStream&) = delete;

    // The next set, a frame per camera in the group's order (null where it is missing),
    // waiting up to timeout; throws Timeout, or the exception of the reason a stream ended;
    // empty once closed.
    std::vector<std::shared_ptr<FrameData>> Next(std::chrono::nanoseconds timeout);
    void Close();
    bool IsClosed() const { return m_bClosed; }
    // The sets' counters, as they stood at the close once closed.
    kestrix::session::StreamGroup::Counters Counters() const;

private:
    std::vector<std::shared_ptr<CameraSession>> m_sessions;
    std::unique_ptr<kestrix::session::CameraGroup> m_pCameras;
    mutable std::mutex m_setsLock;  // guards the three below
    std::shared_ptr<kestrix::session::StreamGroup> m_pSets;  // until closed
    kestrix::session::StreamGroup::Counters m_closedCounters;
    kestrix::session::Error m_closedReason;
    std::vector<std::shared_ptr<const FrameFormat>> m_formats;
    std::vector<std::shared_ptr<FramePool>> m_pools;
    std::mutex m_closeLock;  // one Close at a time
    std::atomic<bool> m_bClosed{false};
};

}  // namespace kxpy
