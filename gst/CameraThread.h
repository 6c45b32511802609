// A thread that owns a camera object: the camera library wants every call on the thread that
// opened it, and that thread must pump its message queue so that bus notices arrive. Other
// threads hand it work with Call, which waits for the result.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <type_traits>

#include "platform/MessageEndpoint.h"

class CameraThread {
public:
    CameraThread();
    ~CameraThread();  // runs what is queued, then ends the thread
    CameraThread(const CameraThread&) = delete;
    CameraThread& operator=(const CameraThread&) = delete;

    // Runs job on the thread and returns its result; a direct call when already on it.
    template <class Job>
    auto Call(Job job) -> std::invoke_result_t<Job> {
        if (std::this_thread::get_id() == m_thread.get_id()) return job();
        std::packaged_task<std::invoke_result_t<Job>()> task(std::move(job));
        auto result = task.get_future();
        Queue([&task] { task(); });
        return result.get();
    }

private:
    void Queue(std::function<void()> job);
    void RunJobs();
    void Run(std::promise<platform::EndpointHandle>& started);

    std::mutex m_lock;  // guards m_jobs
    std::deque<std::function<void()>> m_jobs;
    std::atomic<bool> m_bQuit{false};
    platform::EndpointHandle m_wake = 0;
    std::thread m_thread;
};
