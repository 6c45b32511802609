// The camera object's thread: pumps its message queue and runs the jobs handed to it.
#include "gst/CameraThread.h"

#include <chrono>

#include "platform/MessageQueue.h"

namespace {
constexpr std::uint32_t kWakeMessage = 1;
// Pumps are woken by every job and notice; the step only bounds how late a quit is seen.
constexpr std::chrono::milliseconds kPumpStep{100};
}  // namespace

CameraThread::CameraThread() {
    std::promise<platform::EndpointHandle> started;
    auto handle = started.get_future();
    m_thread = std::thread([this, &started] { Run(started); });
    m_wake = handle.get();
}

CameraThread::~CameraThread() {
    m_bQuit = true;
    // Without the endpoint the pump still sees the quit after its step.
    if (m_wake != 0) platform::MessageEndpoint::Post(m_wake, {kWakeMessage, 0, 0});
    m_thread.join();
}

void CameraThread::Queue(std::function<void()> job) {
    {
        std::scoped_lock lock(m_lock);
        m_jobs.push_back(std::move(job));
    }
    if (m_wake != 0) platform::MessageEndpoint::Post(m_wake, {kWakeMessage, 0, 0});
}

void CameraThread::RunJobs() {
    for (;;) {
        std::function<void()> job;
        {
            std::scoped_lock lock(m_lock);
            if (m_jobs.empty()) return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job();
    }
}

void CameraThread::Run(std::promise<platform::EndpointHandle>& started) {
    auto wake = platform::MessageEndpoint::Create([this](const platform::Message&) {
        RunJobs();
        return std::int64_t{0};
    });
    started.set_value(wake ? wake->Handle() : 0);
    auto& queue = platform::MessageQueue::ForCurrentThread();
    while (!m_bQuit) {
        queue.Pump(kPumpStep);
        RunJobs();
    }
    RunJobs();
}
