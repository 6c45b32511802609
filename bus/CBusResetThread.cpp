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
    if (device.Open(m_strDevicePath) != 0) return false;
    for (;;) {
        m_event.Reset();
        // A stop whose signal came before the reset above is seen here.
        if (m_bStop) break;
        std::uint32_t status = device.Issue(bus::kIoctlBusResetWait, {}, 0, 0, m_overlapped);
        if (status != platform::kErrorIoPending) break;
        // Issuing reset the event: a stop signalled since the check above is seen here.
        if (m_bStop) {
            device.CancelAll();
            break;
        }
        status = device.GetResult(m_overlapped, nullptr, true);
        if (m_bStop) {
            device.CancelAll();
            break;
        }
        if (status != 0) break;
        // Posted, not sent: a window thread may be waiting in Stop for this very thread.
        m_pWindowTable->PostToWindows(bus::kWmCameraBusReset, [this] { return m_bStop.load(); });
        // Node numbers may have changed: watch on a fresh handle.
        device.Close();
        if (device.Open(m_strDevicePath) != 0) return false;
    }
    return false;
}
