// The bus-reset watcher: one pending wait request, a broadcast after each reset.
#include "bus/CBusResetThread.h"

#include "bus/DriverCodes.h"
#include "platform/DeviceHandle.h"
#include "platform/ErrorCodes.h"

CBusResetThread::CBusResetThread(std::string devicePath, bus::SharedBusBlock* windowTable)
    : m_strDevicePath(std::move(devicePath)), m_pWindowTable(windowTable) {
    m_overlapped.SetEvent(&m_event);
}

CBusResetThread::~CBusResetThread() { Stop(); }

void CBusResetThread::CreateThread() {
    m_thread = platform::Thread([this] { InitInstance(); });
}

void CBusResetThread::Stop() {
    if (!m_thread.Joinable()) return;
    m_bStop = true;
    m_event.Set();
    m_thread.Join();
}

bool CBusResetThread::InitInstance() {
    platform::DeviceHandle device;
    if (!Arm(device)) return false;
    for (;;) {
        const std::uint32_t status = device.GetResult(m_overlapped, nullptr, true);
        if (m_bStop) {
            device.CancelAll();
            break;
        }
        if (status != 0) break;
        // The next wait is in place before anybody hears of this reset, so a reset that a
        // window causes in answer to the notice is never missed. Node numbers may have changed:
        // watch on a fresh handle.
        device.Close();
        const bool armed = Arm(device);
        // Posted, not sent: a window thread may be waiting in Stop for this very thread.
        m_pWindowTable->PostToWindows(bus::kWmCameraBusReset, [this] { return m_bStop.load(); });
        if (!armed) break;
    }
    return false;
}

bool CBusResetThread::Arm(platform::DeviceHandle& device) {
    m_event.Reset();
    // A stop whose signal came before the reset above is seen here.
    if (m_bStop || device.Open(m_strDevicePath) != 0) return false;
    if (device.Issue(bus::kIoctlBusResetWait, {}, 0, 0, m_overlapped) != platform::kErrorIoPending)
        return false;
    // Issuing reset the event: a stop signalled since the check above is seen here.
    if (m_bStop) {
        device.CancelAll();
        return false;
    }
    return true;
}
