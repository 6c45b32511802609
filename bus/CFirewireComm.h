// The program's view of the 1394 bus: a hidden bus window (a message endpoint) that holds the
// driver's device paths, turns register access into driver requests, starts and stops the
// isochronous transfer threads and the bus-reset watcher, and shares the device list and the
// window table with the other processes through the shared bus block.
//
// Threading: every operation runs on the thread that called Open (the window's owner), which
// must dispatch its MessageQueue (a headless loop calls Pump; a GUI watches Fd). The transfer
// threads and the bus-reset thread exchange state with it through their atomic fields. The
// cache of open device handles behind the requests is locked, so requests from a second thread
// are safe while the selected device and the device list stay as they are; a bus reset handled
// meanwhile only makes them connect afresh.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bus/CBusResetThread.h"
#include "bus/CIsochTransferThread.h"
#include "bus/DeviceHandleCache.h"
#include "bus/SharedBusBlock.h"
#include "platform/CycleTimerReading.h"
#include "platform/DeviceNotification.h"
#include "platform/MessageEndpoint.h"

class CFirewireComm {
public:
    using HWND = platform::EndpointHandle;

    CFirewireComm();
    virtual ~CFirewireComm();  // closes when still open
    CFirewireComm(const CFirewireComm&) = delete;
    CFirewireComm& operator=(const CFirewireComm&) = delete;

    // Joins the shared block, creates the hidden window and takes its place in the window
    // table; false (leaving nothing behind) on any failure, a full window table included.
    bool Open();
    // Leaves the shared block and destroys the window.
    virtual bool Close();
    bool IsOpen() const { return m_pWindow != nullptr; }
    HWND GetSafeHwnd() const;

    bool SelectDevice(unsigned nDevice);
    // The node number 0-63, or the error code with its low 16 bits set to 0xFFFF.
    int GetNodeNumber(bool bLocalHost);
    unsigned AsyncRead(void* pData, unsigned nBytes, unsigned nBus, unsigned nNode,
                       std::uint16_t nOffsetHigh, std::uint32_t nOffsetLow);
    bool AsyncWrite(const void* pData, unsigned nBytes, unsigned nBus, unsigned nNode,
                    std::uint16_t nOffsetHigh, std::uint32_t nOffsetLow);
    // AsyncRead and AsyncWrite to the selected unit at the node number it has at that moment:
    // one request, with no node-number query before it that a bus reset could make stale.
    unsigned UnitRead(void* pData, unsigned nBytes, std::uint16_t nOffsetHigh,
                      std::uint32_t nOffsetLow);
    bool UnitWrite(const void* pData, unsigned nBytes, std::uint16_t nOffsetHigh,
                   std::uint32_t nOffsetLow);
    // One quadlet (bus order) written to every node of the selected device's bus at once; true
    // once sent, since nobody answers a broadcast.
    bool BroadcastWrite(const void* pQuadlet, std::uint16_t nOffsetHigh, std::uint32_t nOffsetLow);
    bool GetMaxSpeed(int* pSpeed);
    // The bus's cycle timer and the host's clocks read together by the driver; false when the
    // driver does not answer (one that predates the request says "not supported").
    bool ReadCycleTimer(platform::CycleTimerReading* pReading);
    // Asks the driver to reset the bus; the reset itself comes a moment later, as a notice.
    // False when the driver refuses (one that predates the request says "not supported").
    bool RequestBusReset();
    // The host controller's isochronous receive contexts; false when the driver does not say
    // (one that predates the answer) or does not answer.
    bool GetReceiveContexts(int* pContexts);
    bool GetUnitVersion(int* pVersion);
    bool GetUnitInfo(std::uint32_t* pCommandBase, std::uint32_t* pVendorId);
    // The vendor and model names of the selected unit's configuration ROM (empty when it
    // carries none).
    bool GetUnitNames(std::string* pVendor, std::string* pModel);
    // The current device's 64-bit GUID (company id and chip id) from its bus information block.
    bool GetUnitGuid(std::uint64_t* pGuid);
    // When the last StartIsochTransfer failed for want of bus bandwidth and the driver said so:
    // the units its stream needs and the units the bus had left.
    bool GetBandwidthRefusal(std::uint32_t* pNeeded, std::uint32_t* pLeft) const;

    bool StartIsochTransfer(int nChannel, bool bTalk, bool bAllocate, int nSpeed, int nDescMode,
                            int nBytesPerPacket, int nBufferBytes, bool bCircular,
                            std::uint32_t dwDescValue);
    // The state the thread reached, or 0.
    int StopIsochTransfer(int nChannel, bool bOrderly);
    void RemoveIsochTransfer(int nChannel);
    CIsochTransferThread* FindIsochThread(int nChannel) const;
    void KillIsochThread(CIsochTransferThread* pThread);
    // The factory of transfer threads; empty when memory is short. A derived class returns its
    // own thread type, whose RunTransfer supplies the transfer loop.
    virtual std::unique_ptr<CIsochTransferThread> CreateIsochThread();

    // A client receives nMsg after a device-list change and nMsg + 1 after a bus reset.
    void RegisterClient(HWND hWnd, std::uint32_t nMsg);
    void UnregisterClient(HWND hWnd);

    unsigned GetDevicePathCount() const { return m_nDeviceCount; }
    // The path of a device slot, empty beyond the list.
    std::string GetDevicePath(unsigned nDevice) const;
    // Index of the current device, -1 when none is selected.
    int GetCurrentDevice() const { return m_nCurrentDevice; }

protected:
    // Handlers of the hidden window's messages.
    int OnCreate();
    void OnDestroy();
    std::int64_t OnDeviceChange(std::uint64_t nEventType, std::int64_t dwData);
    virtual std::int64_t OnDeviceListChanged(std::uint64_t wParam, std::int64_t lParam);
    virtual std::int64_t OnBusReset(std::uint64_t wParam, std::int64_t lParam);

    std::uint32_t CheckOSVersion();
    void EnumerateDevices();
    void StartBusResetThread();
    void StopBusResetThread();
    bool AddSharedWindow(HWND hWnd);
    bool RemoveSharedWindow(HWND hWnd);
    void BroadcastShared(std::uint32_t nMsg);
    void GetDeviceList();

    // One request on the current path's cached handle (connected on first use): 0 or the
    // error code.
    std::uint32_t SendRequest(std::uint32_t code, std::span<std::uint8_t> record,
                              std::uint32_t* bytesReturned = nullptr);
    const char* CurrentPath() const;

    std::unique_ptr<bus::SharedBusBlock> m_pSharedMap;
    std::uint32_t m_nDeviceCount = 0;
    bus::SharedBusBlock::PathTable m_szDevicePath{};
    int m_nCurrentDevice = -1;
    std::unique_ptr<platform::DeviceNotification> m_pNotification;
    std::unique_ptr<CBusResetThread> m_pBusResetThread;
    std::vector<std::unique_ptr<CIsochTransferThread>> m_TransferList;
    std::vector<std::pair<HWND, std::uint32_t>> m_ClientList;
    std::uint32_t m_dwHostAddressRange = 0;
    bool m_bPacketMode = false;
    // Of the last StartIsochTransfer: bandwidth units needed and left, {0, 0} unless refused.
    std::pair<std::uint32_t, std::uint32_t> m_bandwidthRefusal{0, 0};
    std::unique_ptr<platform::MessageEndpoint> m_pWindow;
    // Open connections per device path, closed at every device-list change and bus reset.
    bus::DeviceHandleCache m_handleCache;

    // Under platform id 1 a removal is acted on at the next device-nodes-changed notice, which
    // this flag carries over; one per process. This system reports id 2 (rescan at once), so
    // only tests that store id 1 in the shared block take that path.
    inline static std::atomic<bool> s_bRemovalPending{false};

private:
    std::int64_t WindowProc(const platform::Message& message);
    // Both configuration-information requests; sizes are those the record was built for.
    bool ReadConfiguration(bus::Record& record, bus::ConfigSizes& sizes);
    bool IsHostNode(unsigned nNode);
    // Where a transfer goes: the host adapter's memory, the selected unit, every node, or a
    // node address.
    struct Destination {
        bool host = false;
        bool unit = false;
        bool broadcast = false;
        unsigned nBus = 0;
        unsigned nNode = 0;
    };
    Destination NodeDestination(unsigned nBus, unsigned nNode);
    // One asynchronous or host-memory request: the data bytes read (nBytes for a write), empty
    // on failure.
    std::optional<unsigned> Transfer(bool bWrite, const void* pIn, void* pOut, unsigned nBytes,
                                     const Destination& to, std::uint16_t nOffsetHigh,
                                     std::uint32_t nOffsetLow);
    void DestroyWindow();
};
