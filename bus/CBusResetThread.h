// Watches for 1394 bus resets with a wait request kept pending on the first device, and after
// each reset sends the bus-reset notice to every hidden bus window in the shared window table.
//
// Threading: the owner constructs it, calls CreateThread, and later Stop (which joins). The stop
// flag is atomic; the wait's event lives as long as the object, so Stop's signal never meets a
// closed event.
#pragma once

#include <atomic>
#include <string>

#include "bus/SharedBusBlock.h"
#include "platform/AsyncRequest.h"
#include "platform/DeviceHandle.h"
#include "platform/Event.h"
#include "platform/Thread.h"

class CBusResetThread {
public:
    // windowTable is read afresh at every broadcast; it must outlive the thread.
    CBusResetThread(std::string devicePath, bus::SharedBusBlock* windowTable);
    virtual ~CBusResetThread();  // stops and joins
    CBusResetThread(const CBusResetThread&) = delete;
    CBusResetThread& operator=(const CBusResetThread&) = delete;

    void CreateThread();
    // Sets the stop flag, wakes the pending wait and joins the thread.
    void Stop();

protected:
    // The whole watch loop; returns false so that the thread ends with it.
    virtual bool InitInstance();

    std::string m_strDevicePath;
    bus::SharedBusBlock* m_pWindowTable;
    std::atomic<bool> m_bStop{false};
    platform::Event m_event{platform::EventMode::ManualReset};
    platform::AsyncRequest m_overlapped;

private:
    // Opens device and issues the wait; false when stopping or the driver refuses.
    bool Arm(platform::DeviceHandle& device);

    platform::Thread m_thread;
};
