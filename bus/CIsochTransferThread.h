// A worker thread that owns one isochronous transfer on one channel: its own device handle, the
// bandwidth, channel and resources it allocates, the attach-buffers record, and the requests on
// that handle. The camera library derives its capture thread from it and supplies RunTransfer.
//
// Threading: the owner (the bus window's thread) sets the parameters, then calls CreateThread;
// the worker runs InitInstance. Every field both threads touch afterwards is atomic, or guarded
// by m_paramLock (the device path). The events live as long as the object, so a late signal from
// the owner never meets a closed event; the device handle is the worker's alone.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "bus/DriverRecords.h"
#include "bus/TransferState.h"
#include "platform/AsyncRequest.h"
#include "platform/DeviceHandle.h"
#include "platform/Event.h"
#include "platform/Lock.h"
#include "platform/Thread.h"

class CIsochTransferThread {
public:
    // The states by their short names: kStateArmed and so on.
    using enum IsochState;

    CIsochTransferThread();
    // Sends the quit signal and joins; a derived class whose RunTransfer uses its own members
    // must call QuitAndJoin in its own destructor.
    virtual ~CIsochTransferThread();
    CIsochTransferThread(const CIsochTransferThread&) = delete;
    CIsochTransferThread& operator=(const CIsochTransferThread&) = delete;

    // Creates the start (auto-reset) and quit (manual-reset) events, both unsignalled.
    void CreateEvents();
    // Starts the worker, which runs InitInstance then ExitInstance; false when no thread could
    // be made.
    bool CreateThread(platform::ThreadPriority priority);
    // Releases the worker's wait for the start event (arming or restarting a transfer).
    void SignalStart();
    // The quit signal: sets the quit flag, wakes every wait of the transfer, signals the quit
    // event.
    void SignalQuit();
    void QuitAndJoin();
    // Sets the stop-request and orderly flags and wakes every wait of the transfer.
    void RequestStop(bool bOrderly);
    // Wakes the start-event wait and both overlapped waits.
    void WakeWaits();

    void SetDevicePath(const std::string& path);
    std::string GetDevicePath() const;
    bool HasAttachEvent() const { return m_bAttachEventOpen; }

    // Parameters, set by the owner before the thread starts.
    // Set when the driver refused the bandwidth and said why: units needed and left (0: unsaid).
    std::atomic<std::uint32_t> m_nBandwidthNeeded{0};
    std::atomic<std::uint32_t> m_nBandwidthLeft{0};
    std::atomic<int> m_nChannel{0};
    std::atomic<bool> m_bTalk{false};
    std::atomic<bool> m_bAllocate{false};
    std::atomic<std::uint32_t> m_nSpeed{0};
    std::atomic<std::uint32_t> m_nDescMode{0};
    std::atomic<std::uint32_t> m_dwDescValue{0};
    std::atomic<bool> m_bPacketMode{false};
    std::atomic<std::uint32_t> m_nBytesPerPacket{0};
    std::atomic<std::uint32_t> m_nBufferBytes{0};
    std::atomic<std::uint32_t> m_nDescriptors{0};
    std::atomic<bool> m_bCircular{false};

    // Caller memory for one transfer and its size.
    std::atomic<void*> m_pData{nullptr};
    std::atomic<std::uint32_t> m_nDataBytes{0};

    // Every change wakes its waiters (StartIsochTransfer, StopIsochTransfer, StartCapture).
    TransferState m_nState{kStateCreated};
    std::atomic<bool> m_bStopRequest{false};
    std::atomic<bool> m_bOrderly{true};
    std::atomic<bool> m_bLoop{false};
    std::atomic<bool> m_bQuit{false};
    std::atomic<bool> m_bMarker{false};

protected:
    virtual bool InitInstance();
    virtual int ExitInstance() { return 0; }

    // Acquire and release the handle and the isochronous resources.
    virtual bool OpenTransfer();
    // The transfer loop; this base moves m_nDataBytes once (see the source).
    virtual void RunTransfer();
    virtual void CloseTransfer();
    // Fills an attach-buffers record for m_nDescriptors buffers: with data areas, or without
    // them when the record has exactly that size (receiving into shared memory only); false when
    // it fits neither.
    virtual bool BuildDescriptors(std::span<std::uint8_t> record, const void* pData);
    // Copies received descriptor data back into pData, split as BuildDescriptors splits it.
    virtual void CopyOut(std::span<const std::uint8_t> record, void* pData);

    // The zeroed attach record, (bytes per buffer + 36) x descriptors + 32 bytes, or 36 x
    // descriptors + 32 without the data areas.
    bool AllocAttachRecord(bus::Record& record, bool dataAreas = true) const;

    // Request wrappers on m_hDevice; each returns 0 or the error code. The attach and read
    // wrappers return at once (0, kErrorIoPending or the error); wait with WaitAttach/WaitRead.
    std::uint32_t IsochAllocateBandwidth(bus::FixedRecord<20>& record);
    std::uint32_t IsochAllocateChannel(bus::FixedRecord<16>& record);
    std::uint32_t IsochAllocateResources(bus::FixedRecord<32>& record);
    // memoryFd, when valid, hands the driver receive memory to fill in place (a memfd).
    std::uint32_t IsochAttachBuffers(std::span<std::uint8_t> record, int memoryFd = -1);
    std::uint32_t IsochDetachBuffers(bus::FixedRecord<12>& record);
    std::uint32_t IsochFreeBandwidth(bus::FixedRecord<4>& record);
    std::uint32_t IsochFreeChannel(bus::FixedRecord<4>& record);
    std::uint32_t IsochFreeResources(bus::FixedRecord<4>& record);
    std::uint32_t IsochListen(bus::FixedRecord<12>& record);
    std::uint32_t IsochStop(bus::FixedRecord<8>& record);
    std::uint32_t IsochTalk(bus::FixedRecord<12>& record);
    std::uint32_t IsochHostInfo(bus::FixedRecord<28>& record);
    // sendData false sends only the record's header: the answer still has room for all of it.
    std::uint32_t IsochReadData(std::span<std::uint8_t> record, bool sendData = true);

    // Wait for the pending attach or read: its status, kErrorIoIncomplete when the wait was
    // woken (a stop) while the request still pends.
    std::uint32_t WaitAttach(std::uint32_t* bytes);
    std::uint32_t WaitRead(std::uint32_t* bytes);
    void CloseAttachEvent() { m_bAttachEventOpen = false; }
    void CloseReadEvent() { m_bReadEventOpen = false; }
    // Opens m_hDevice on the device path; false when it cannot be opened.
    bool OpenDevice();

    platform::DeviceHandle m_hDevice;
    std::atomic<std::uint32_t> m_dwBandwidth{0};
    std::atomic<std::uint32_t> m_dwResource{0};
    std::atomic<std::uint32_t> m_dwHostCaps{0};
    std::unique_ptr<platform::Event> m_pStartEvent;
    std::unique_ptr<platform::Event> m_pQuitEvent;
    platform::AsyncRequest m_attachOverlapped;
    platform::AsyncRequest m_readOverlapped;

private:
    std::uint32_t Call(std::uint32_t code, std::span<std::uint8_t> record, std::uint32_t outSize);
    std::uint32_t Begin(std::uint32_t code, std::span<std::uint8_t> record, std::uint32_t inSize,
                        platform::AsyncRequest& request, std::atomic<bool>& open, int passFd = -1);
    void FreeChannelAndBandwidth();
    void LogFailure(std::uint32_t code, std::uint32_t status) const;
    void FinishTransfer(bus::Record& record, std::uint32_t status, std::uint32_t bytes);
    void StopTransfer();
    void ThreadMain();

    mutable platform::Lock m_paramLock;  // guards m_strDevicePath
    std::string m_strDevicePath;
    platform::Event m_attachEvent{platform::EventMode::ManualReset};
    platform::Event m_readEvent{platform::EventMode::ManualReset};
    std::atomic<bool> m_bAttachEventOpen{false};
    std::atomic<bool> m_bReadEventOpen{false};
    platform::Thread m_thread;
};
