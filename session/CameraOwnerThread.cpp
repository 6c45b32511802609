// The camera object's owner thread: opens the library, pumps its queue, runs the jobs.
#include "session/CameraOwnerThread.h"

#include <chrono>

#include "bus/DriverCodes.h"
#include "platform/MessageQueue.h"

namespace kestrix::session {
namespace {
constexpr std::uint32_t kWakeMessage = 0x8001;
// Jobs and notices wake the pump; the step only bounds how late a lost wake-up or a quit is seen.
constexpr std::chrono::milliseconds kPumpStep{100};
}  // namespace

CameraOwnerThread::CameraOwnerThread(std::function<void(std::uint32_t)> onNotice)
    : m_onNotice(std::move(onNotice)) {
    std::promise<void> opened;
    auto ready = opened.get_future();
    m_thread = std::thread([this, &opened] { Main(opened); });
    ready.wait();
}

CameraOwnerThread::~CameraOwnerThread() {
    m_bQuit = true;
    if (const platform::EndpointHandle wake = m_hWake; wake != 0)
        platform::MessageEndpoint::Post(wake, {kWakeMessage, 0, 0});
    m_thread.join();
}

void CameraOwnerThread::Main(std::promise<void>& opened) {
    C1394Dcam cam;
    auto wake = platform::MessageEndpoint::Create([this](const platform::Message&) {
        RunJobs();
        return std::int64_t{0};
    });
    auto client = platform::MessageEndpoint::Create(
        [this](const platform::Message& message) { return OnNotice(message); });
    if (!wake || !client || !cam.Open()) {
        opened.set_value();
        return;
    }
    m_pCam = &cam;
    cam.RegisterClient(client->Handle(), bus::kWmCameraDeviceList);
    m_hWake = wake->Handle();
    m_bOpen = true;
    opened.set_value();

    auto& queue = platform::MessageQueue::ForCurrentThread();
    while (!m_bQuit) {
        queue.Pump(kPumpStep);
        RunJobs();
    }
    RunJobs();
    m_bOpen = false;
    cam.UnregisterClient(client->Handle());
    cam.Close();
    m_pCam = nullptr;
}

void CameraOwnerThread::Queue(std::function<void()> job) {
    {
        std::scoped_lock lock(m_lock);
        m_jobs.push_back(std::move(job));
    }
    // A wake-up that cannot be posted only delays the job to the end of the pump step.
    if (const platform::EndpointHandle wake = m_hWake; wake != 0)
        platform::MessageEndpoint::Post(wake, {kWakeMessage, 0, 0});
}

void CameraOwnerThread::RunJobs() {
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

std::int64_t CameraOwnerThread::OnNotice(const platform::Message& message) {
    if (message.msg == bus::kWmCameraDeviceList) ++m_nDeviceChanges;
    if (message.msg == bus::kWmCameraBusReset) ++m_nBusResets;
    if (m_onNotice) m_onNotice(message.msg);
    return 0;
}

}  // namespace kestrix::session
