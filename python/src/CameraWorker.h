// The thread that owns the camera library for the module. C1394Dcam wants one owner thread that
// runs every operation and dispatches its message queue; Python may call from any thread, and
// may not call at all for a while. So one worker opens the library, runs each operation handed
// to it, and pumps the queue in between: bus notices are handled at once whatever Python does.
//
// Threading: Run may be called from any thread except the worker itself; it waits for the
// result. The notice counters may be read from any thread.
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

namespace kxpy {

class CameraWorker {
public:
    // The process's worker, started (and the library opened) when none runs; it ends once the
    // last holder lets go. Throws Error when the library cannot be opened.
    static std::shared_ptr<CameraWorker> Shared();
    // Whether the library is open in this process.
    static bool IsRunning();
    // Only Shared makes one.
    class Key {
        friend class CameraWorker;
        Key() = default;
    };
    explicit CameraWorker(Key);
    ~CameraWorker();
    CameraWorker(const CameraWorker&) = delete;
    CameraWorker& operator=(const CameraWorker&) = delete;

    // Runs fn(camera object) on the worker and returns its result or throws what it threw.
    template <class Fn>
    std::invoke_result_t<Fn&, C1394Dcam&> Run(Fn&& fn) {
        using Result = std::invoke_result_t<Fn&, C1394Dcam&>;
        std::packaged_task<Result()> task([this, &fn] { return fn(*m_pCam); });
        std::future<Result> result = task.get_future();
        Submit([&task] { task(); });
        return result.get();
    }

    // Bus resets and device-list changes heard since the worker started.
    std::uint64_t BusResets() const { return m_nBusResets; }
    std::uint64_t DeviceChanges() const { return m_nDeviceChanges; }

private:
    void Main(std::promise<void> opened);
    void Submit(std::function<void()> task);
    void RunQueued();
    std::int64_t OnNotice(const platform::Message& message);

    std::thread m_thread;
    std::mutex m_lock;                          // guards m_tasks
    std::deque<std::function<void()>> m_tasks;
    std::atomic<bool> m_bQuit{false};
    std::atomic<platform::EndpointHandle> m_hTasks{0};
    C1394Dcam* m_pCam = nullptr;  // lives on the worker's stack while it runs
    std::atomic<std::uint64_t> m_nBusResets{0};
    std::atomic<std::uint64_t> m_nDeviceChanges{0};
};

}  // namespace kxpy
