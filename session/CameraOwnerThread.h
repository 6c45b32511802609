// The thread that owns a camera object for a front end whose callers come from any thread (the
// GStreamer element, the Python module); the camera manager runs one when asked to. The camera library wants every call on the thread
// that opened it, and that thread must pump its message queue so that bus notices arrive while
// the callers do something else. So this thread opens the library, runs each job handed to it,
// pumps the queue in between and counts the bus notices it hears.
//
// Threading: Call from any thread (a direct call on the owner thread itself); IsOpen and the
// notice counters from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>

#include "camera/C1394Dcam.h"
#include "platform/MessageEndpoint.h"

namespace kestrix::session {

class CameraOwnerThread {
public:
    // Starts the thread, which opens the camera library and listens for its bus notices; each
    // notice's message also goes to onNotice, on the owner thread.
    explicit CameraOwnerThread(std::function<void(std::uint32_t message)> onNotice = {});
    // Runs the jobs queued, closes the library and ends the thread.
    ~CameraOwnerThread();
    CameraOwnerThread(const CameraOwnerThread&) = delete;
    CameraOwnerThread& operator=(const CameraOwnerThread&) = delete;

    // False when the library could not be opened or its notices not be heard; Call then runs
    // nothing and must not be used.
    bool IsOpen() const { return m_bOpen; }

    // Runs job(camera object) on the owner thread and returns its result, or rethrows what it
    // threw.
    template <class Job>
    auto Call(Job job) -> std::invoke_result_t<Job&, C1394Dcam&> {
        if (std::this_thread::get_id() == m_thread.get_id()) return job(*m_pCam);
        std::packaged_task<std::invoke_result_t<Job&, C1394Dcam&>()> task(
            [this, &job] { return job(*m_pCam); });
        auto result = task.get_future();
        Queue([&task] { task(); });
        return result.get();
    }

    // The camera object, for the owner thread's own use (a notice handler).
    C1394Dcam& Device() { return *m_pCam; }

    // Bus resets and device-list changes heard since the thread started.
    std::uint64_t BusResets() const { return m_nBusResets; }
    std::uint64_t DeviceChanges() const { return m_nDeviceChanges; }

private:
    void Main(std::promise<void>& opened);
    void Queue(std::function<void()> job);
    void RunJobs();
    std::int64_t OnNotice(const platform::Message& message);

    std::mutex m_lock;  // guards m_jobs
    std::deque<std::function<void()>> m_jobs;
    std::atomic<bool> m_bQuit{false};
    std::atomic<bool> m_bOpen{false};
    std::atomic<platform::EndpointHandle> m_hWake{0};
    C1394Dcam* m_pCam = nullptr;  // lives on the owner thread's stack while it runs
    const std::function<void(std::uint32_t)> m_onNotice;
    std::atomic<std::uint64_t> m_nBusResets{0};
    std::atomic<std::uint64_t> m_nDeviceChanges{0};
    std::thread m_thread;
};

}  // namespace kestrix::session
