// The camera library's owner thread for the module.
#include "python/src/CameraWorker.h"

#include <chrono>

#include "bus/DriverCodes.h"
#include "platform/MessageQueue.h"
#include "python/src/Errors.h"

namespace kxpy {
namespace {

// Wakes the worker to run what waits in its task queue.
constexpr std::uint32_t kRunTasks = 0x8001;
// Tasks and notices wake the loop; the step bounds how long a lost wake-up delays a task.
constexpr auto kPumpStep = std::chrono::milliseconds(500);

std::mutex g_sharedLock;
std::weak_ptr<CameraWorker> g_shared;  // guarded by g_sharedLock

}  // namespace

std::shared_ptr<CameraWorker> CameraWorker::Shared() {
    std::scoped_lock lock(g_sharedLock);
    if (auto worker = g_shared.lock()) return worker;
    auto worker = std::make_shared<CameraWorker>(Key());
    g_shared = worker;
    return worker;
}

bool CameraWorker::IsRunning() {
    std::scoped_lock lock(g_sharedLock);
    return !g_shared.expired();
}

CameraWorker::CameraWorker(Key) {
    std::promise<void> opened;
    std::future<void> ready = opened.get_future();
    m_thread = std::thread(&CameraWorker::Main, this, std::move(opened));
    try {
        ready.get();
    } catch (...) {
        m_thread.join();
        throw;
    }
}

CameraWorker::~CameraWorker() {
    m_bQuit = true;
    platform::MessageEndpoint::Post(m_hTasks, {kRunTasks, 0, 0});
    m_thread.join();
}

void CameraWorker::Main(std::promise<void> opened) {
    C1394Dcam cam;
    if (!cam.Open()) {
        opened.set_exception(std::make_exception_ptr(
            Error("the camera library could not be opened (KESTRIX_LOG=bus:debug shows why)")));
        return;
    }
    // The same colour tables as the viewer and kestrix-capture.
    cam.SetColorTables(false, false, 10);
    auto tasks = platform::MessageEndpoint::Create([this](const platform::Message&) {
        RunQueued();
        return std::int64_t{0};
    });
    auto client = platform::MessageEndpoint::Create(
        [this](const platform::Message& message) { return OnNotice(message); });
    if (!tasks || !client) {
        opened.set_exception(std::make_exception_ptr(Error("cannot listen for bus notices")));
        cam.Close();
        return;
    }
    m_pCam = &cam;
    m_hTasks = tasks->Handle();
    cam.RegisterClient(client->Handle(), bus::kWmCameraDeviceList);
    opened.set_value();

    auto& queue = platform::MessageQueue::ForCurrentThread();
    while (!m_bQuit) {
        queue.Pump(kPumpStep);
        RunQueued();
    }
    cam.UnregisterClient(client->Handle());
    cam.Close();
    m_pCam = nullptr;
}

void CameraWorker::Submit(std::function<void()> task) {
    {
        std::scoped_lock lock(m_lock);
        m_tasks.push_back(std::move(task));
    }
    // A wake-up that cannot be posted only delays the task to the end of the pump step.
    platform::MessageEndpoint::Post(m_hTasks, {kRunTasks, 0, 0});
}

void CameraWorker::RunQueued() {
    for (;;) {
        std::function<void()> task;
        {
            std::scoped_lock lock(m_lock);
            if (m_tasks.empty()) return;
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        task();
    }
}

std::int64_t CameraWorker::OnNotice(const platform::Message& message) {
    if (message.msg == bus::kWmCameraDeviceList) ++m_nDeviceChanges;
    if (message.msg == bus::kWmCameraBusReset) ++m_nBusResets;
    return 0;
}

}  // namespace kxpy
