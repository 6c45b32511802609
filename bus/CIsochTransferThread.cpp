// The isochronous transfer thread: resources, attach record, request wrappers and lifecycle.
#include "bus/CIsochTransferThread.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "bus/DriverCodes.h"
#include "platform/ErrorCodes.h"
#include "platform/Log.h"

using namespace bus;
using platform::kErrorIoIncomplete;
using platform::kErrorIoPending;

CIsochTransferThread::CIsochTransferThread() {
    m_attachOverlapped.SetEvent(&m_attachEvent);
    m_readOverlapped.SetEvent(&m_readEvent);
}

CIsochTransferThread::~CIsochTransferThread() { QuitAndJoin(); }

void CIsochTransferThread::CreateEvents() {
    m_pStartEvent = std::make_unique<platform::Event>(platform::EventMode::AutoReset);
    m_pQuitEvent = std::make_unique<platform::Event>(platform::EventMode::ManualReset);
}

bool CIsochTransferThread::CreateThread(platform::ThreadPriority priority) {
    if (!m_pStartEvent) CreateEvents();
    m_thread = platform::Thread([this] { ThreadMain(); }, priority);
    return m_thread.Joinable();
}

void CIsochTransferThread::ThreadMain() {
    InitInstance();
    ExitInstance();
}

void CIsochTransferThread::SignalStart() {
    if (m_pStartEvent) m_pStartEvent->Set();
}

void CIsochTransferThread::SignalQuit() {
    // Always wake the start-event wait: a thread still armed (state 1, loop flag clear) would
    // otherwise never see the quit and its join would hang.
    // The overlapped waits are woken too, so that a running loop regains control and sees it.
    m_bQuit = true;
    WakeWaits();
    if (m_pQuitEvent) m_pQuitEvent->Set();
}

void CIsochTransferThread::QuitAndJoin() {
    if (!m_thread.Joinable() || m_thread.IsCurrent()) return;
    SignalQuit();
    m_thread.Join();
}

void CIsochTransferThread::RequestStop(bool bOrderly) {
    m_bStopRequest = true;
    m_bOrderly = bOrderly;
    WakeWaits();
}

void CIsochTransferThread::WakeWaits() {
    SignalStart();
    m_attachEvent.Set();
    m_readEvent.Set();
}

void CIsochTransferThread::SetDevicePath(const std::string& path) {
    std::scoped_lock lock(m_paramLock);
    m_strDevicePath = path;
}

std::string CIsochTransferThread::GetDevicePath() const {
    std::scoped_lock lock(m_paramLock);
    return m_strDevicePath;
}

bool CIsochTransferThread::InitInstance() {
    if (OpenTransfer()) {
        m_nState = kStateIdle;
        RunTransfer();
    } else {
        // The loop flag goes up before the state is published: the owner that sees state 3
        // sends the quit signal, which must find the wait below.
        m_bLoop = true;
        m_nState = kStateFailed;
        m_pStartEvent->Wait();
    }
    CloseTransfer();
    m_pQuitEvent->Wait();
    return false;
}

bool CIsochTransferThread::OpenDevice() {
    m_hDevice.Close();
    return m_hDevice.Open(GetDevicePath()) == 0;
}

bool CIsochTransferThread::OpenTransfer() {
    if (!OpenDevice()) return false;
    FixedRecord<28> info = MakeHostInfoRecord();
    if (IsochHostInfo(info) != 0) {
        m_hDevice.Close();
        return false;
    }
    const std::uint32_t caps = Word(info, kHostInfoCapsOffset);
    m_dwHostCaps = caps;

    if (m_bAllocate) {
        FixedRecord<20> bandwidth = MakeAllocateBandwidthRecord(m_nBytesPerPacket, m_nSpeed);
        if (IsochAllocateBandwidth(bandwidth) != 0) {
            m_nBandwidthNeeded = Word(bandwidth, kBandwidthNeededOffset);
            m_nBandwidthLeft = Word(bandwidth, kBandwidthLeftOffset);
            m_hDevice.Close();
            return false;
        }
        m_dwBandwidth = Word(bandwidth, kBandwidthHandleOffset);
        FixedRecord<16> channel = MakeAllocateChannelRecord(std::uint32_t(m_nChannel.load()));
        if (IsochAllocateChannel(channel) != 0) {
            FixedRecord<4> free = MakeFreeRecord(m_dwBandwidth.exchange(0));
            IsochFreeBandwidth(free);
            m_hDevice.Close();
            return false;
        }
    }

    const bool strip = (caps & kHostCapStripHeader) != 0;
    FixedRecord<32> resources = MakeAllocateResourcesRecord({
        .speed = m_nSpeed,
        .flags = ResourceFlags(m_bTalk, caps, m_bPacketMode, m_bCircular),
        .channel = std::uint32_t(m_nChannel.load()),
        .bytesPerPacket = m_nBytesPerPacket,
        .bufferCount = m_nDescriptors,
        .bytesPerBuffer = m_nBufferBytes,
        .quadletsToStrip = strip ? 1u : 0u,
    });
    if (IsochAllocateResources(resources) != 0) {
        if (m_bAllocate) FreeChannelAndBandwidth();
        m_hDevice.Close();
        return false;
    }
    m_dwResource = Word(resources, kResourceHandleOffset);
    return true;
}

void CIsochTransferThread::FreeChannelAndBandwidth() {
    FixedRecord<4> channel = MakeFreeRecord(std::uint32_t(m_nChannel.load()));
    IsochFreeChannel(channel);
    if (const std::uint32_t bandwidth = m_dwBandwidth.exchange(0); bandwidth != 0) {
        FixedRecord<4> free = MakeFreeRecord(bandwidth);
        IsochFreeBandwidth(free);
    }
}

void CIsochTransferThread::CloseTransfer() {
    if (!m_hDevice.IsOpen()) return;
    if (const std::uint32_t resource = m_dwResource.exchange(0); resource != 0) {
        FixedRecord<4> free = MakeFreeRecord(resource);
        IsochFreeResources(free);
    }
    if (m_bAllocate) FreeChannelAndBandwidth();
    m_hDevice.Close();
}

bool CIsochTransferThread::AllocAttachRecord(Record& record, bool dataAreas) const {
    return AllocateRecord(record, AttachRecordSize(m_nBufferBytes, m_nDescriptors, dataAreas));
}

bool CIsochTransferThread::BuildDescriptors(std::span<std::uint8_t> record, const void* pData) {
    const std::uint32_t count = m_nDescriptors;
    const std::uint32_t length = m_nBufferBytes;
    const bool dataAreas = record.size() >= AttachRecordSize(length, count);
    const bool talk = m_bTalk;
    // Talked data travel in the record, so a talking attach always has data areas.
    if (!dataAreas && (talk || record.size() != AttachRecordSize(length, count, false))) {
        return false;
    }
    WriteAttachHeader(record, m_dwResource, count, dataAreas ? 0 : kAttachNoDataAreas);

    DescriptorSetup setup = DescriptorFor(m_nDescMode, m_dwDescValue, m_bMarker);
    setup.length = length;
    setup.bytesPerPacket = m_nBytesPerPacket;
    const auto* source = static_cast<const std::uint8_t*>(pData);
    std::size_t offset = kAttachHeaderBytes;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::span<std::uint8_t> block =
            record.subspan(offset, kDescriptorOverhead + (dataAreas ? length : 0));
        WriteDescriptor(block, setup);
        offset += block.size();
        if (!dataAreas) continue;
        std::span<std::uint8_t> data = block.subspan(kDescriptorFieldBytes);
        std::fill(data.begin(), data.end(), 0);
        if (talk && source != nullptr) {
            const std::uint32_t share = DescriptorShare(m_nDataBytes, length, i, count);
            std::memcpy(data.data(), source + std::size_t{i} * length, share);
        }
    }
    return true;
}

void CIsochTransferThread::CopyOut(std::span<const std::uint8_t> record, void* pData) {
    auto* target = static_cast<std::uint8_t*>(pData);
    const std::uint32_t count = m_nDescriptors;
    const std::uint32_t length = m_nBufferBytes;
    if (target == nullptr || record.size() < AttachRecordSize(length, count)) return;
    std::size_t offset = kAttachHeaderBytes + kDescriptorFieldBytes;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t share = DescriptorShare(m_nDataBytes, length, i, count);
        std::memcpy(target + std::size_t{i} * length, record.data() + offset, share);
        offset += kDescriptorOverhead + length;
    }
}

// The base transfer moves m_nDataBytes once through the attached buffers: armed until the start
// event, then attach, start listening or talking, and wait for the buffers to complete.
void CIsochTransferThread::RunTransfer() {
    m_nState = kStateArmed;
    m_pStartEvent->Wait();
    if (m_bQuit || m_bStopRequest) {
        m_nState = kStateIdle;
        return;
    }
    Record record;
    if (!AllocAttachRecord(record) || !BuildDescriptors(record, m_pData)) {
        m_nState = kStateFailed;
        return;
    }
    std::uint32_t status = IsochAttachBuffers(record);
    if (status != 0 && status != kErrorIoPending) {
        CloseAttachEvent();
        m_nState = kStateFailed;
        return;
    }
    FixedRecord<12> start = MakeStartRecord(m_dwResource);
    if ((m_bTalk ? IsochTalk(start) : IsochListen(start)) != 0) {
        m_hDevice.CancelAll();
        WaitAttach(nullptr);
        CloseAttachEvent();
        m_nState = kStateFailed;
        return;
    }
    m_bLoop = true;
    m_nState = kStateRunning;
    std::uint32_t bytes = 0;
    // Only a stop or quit, whose flag is set first, wakes this wait early.
    status = WaitAttach(&bytes);
    // The attach is over before the final state shows, so a stop that sees it waits for nothing.
    CloseAttachEvent();
    FinishTransfer(record, status, bytes);
    m_bLoop = false;
}

void CIsochTransferThread::FinishTransfer(Record& record, std::uint32_t status,
                                          std::uint32_t bytes) {
    if (status == kErrorIoIncomplete) {
        StopTransfer();
        m_nState = kStateIdle;
        return;
    }
    if (status != 0) {
        LogFailure(kIoctlAttachBuffers, status);
        m_nState = kStateFailed;
        return;
    }
    if (!m_bTalk) CopyOut(record, m_pData);
    FixedRecord<8> stop = MakeStopRecord(m_dwResource);
    IsochStop(stop);
    FixedRecord<12> detach = MakeDetachRecord(m_dwResource, m_nDescriptors);
    IsochDetachBuffers(detach);
    m_nState = bytes == 0 ? kStateDoneEmpty : kStateDone;
}

// Orderly: tell the driver to stop and cancel what pends; otherwise drop the handle, which
// cancels too. Either way the pending attach has completed before its record is freed.
void CIsochTransferThread::StopTransfer() {
    if (m_bOrderly) {
        FixedRecord<8> stop = MakeStopRecord(m_dwResource);
        IsochStop(stop);
        m_hDevice.CancelAll();
    } else {
        m_hDevice.Close();
    }
}

std::uint32_t CIsochTransferThread::Call(std::uint32_t code, std::span<std::uint8_t> record,
                                         std::uint32_t outSize) {
    platform::AsyncRequest request;  // no event: the wait is on the request itself
    const auto size = static_cast<std::uint32_t>(record.size());
    const std::uint32_t status = m_hDevice.Issue(code, record, size, outSize, request);
    // A control request that the driver never answers must not hold the thread, and with it
    // whoever stops or joins it, for ever.
    const std::uint32_t result =
        status != kErrorIoPending
            ? status
            : m_hDevice.GetResultWithin(request, nullptr, platform::DeviceHandle::kRequestTimeout);
    if (result != 0) LogFailure(code, result);
    return result;
}

void CIsochTransferThread::LogFailure(std::uint32_t code, std::uint32_t status) const {
    KX_LOG(Bus, Warn) << RequestName(code) << " on channel " << m_nChannel.load()
                      << " failed: " << platform::StatusText(status);
}

// Issuing resets the request's event, as starting an overlapped request with a fresh one would.
std::uint32_t CIsochTransferThread::Begin(std::uint32_t code, std::span<std::uint8_t> record,
                                          std::uint32_t inSize, platform::AsyncRequest& request,
                                          std::atomic<bool>& open, int passFd) {
    open = true;
    const auto size = static_cast<std::uint32_t>(record.size());
    const std::uint32_t status = m_hDevice.Issue(code, record, inSize, size, request, passFd);
    // Issuing resets the request's event: a stop or quit signalled just before would be lost,
    // and the wait that follows would last until data came.
    if (status == platform::kErrorIoPending && (m_bStopRequest || m_bQuit)) {
        if (platform::Event* event = request.GetEvent()) event->Set();
    }
    if (status != 0 && status != platform::kErrorIoPending) LogFailure(code, status);
    return status;
}

std::uint32_t CIsochTransferThread::IsochAllocateBandwidth(FixedRecord<20>& record) {
    return Call(kIoctlAllocateBandwidth, record, 20);
}
std::uint32_t CIsochTransferThread::IsochAllocateChannel(FixedRecord<16>& record) {
    return Call(kIoctlAllocateChannel, record, 16);
}
std::uint32_t CIsochTransferThread::IsochAllocateResources(FixedRecord<32>& record) {
    return Call(kIoctlAllocateResources, record, 32);
}
std::uint32_t CIsochTransferThread::IsochDetachBuffers(FixedRecord<12>& record) {
    return Call(kIoctlDetachBuffers, record, 0);
}
std::uint32_t CIsochTransferThread::IsochFreeBandwidth(FixedRecord<4>& record) {
    return Call(kIoctlFreeBandwidth, record, 0);
}
std::uint32_t CIsochTransferThread::IsochFreeChannel(FixedRecord<4>& record) {
    return Call(kIoctlFreeChannel, record, 0);
}
std::uint32_t CIsochTransferThread::IsochFreeResources(FixedRecord<4>& record) {
    return Call(kIoctlFreeResources, record, 0);
}
std::uint32_t CIsochTransferThread::IsochListen(FixedRecord<12>& record) {
    return Call(kIoctlListen, record, 0);
}
std::uint32_t CIsochTransferThread::IsochStop(FixedRecord<8>& record) {
    return Call(kIoctlStop, record, 0);
}
std::uint32_t CIsochTransferThread::IsochTalk(FixedRecord<12>& record) {
    return Call(kIoctlTalk, record, 0);
}
std::uint32_t CIsochTransferThread::IsochHostInfo(FixedRecord<28>& record) {
    return Call(kIoctlHostInfo, record, 28);
}

std::uint32_t CIsochTransferThread::IsochAttachBuffers(std::span<std::uint8_t> record,
                                                       int memoryFd) {
    return Begin(kIoctlAttachBuffers, record, static_cast<std::uint32_t>(record.size()),
                 m_attachOverlapped, m_bAttachEventOpen, memoryFd);
}

std::uint32_t CIsochTransferThread::IsochReadData(std::span<std::uint8_t> record, bool sendData) {
    const auto inSize = static_cast<std::uint32_t>(
        sendData ? record.size() : std::min(record.size(), kIsochReadHeaderBytes));
    return Begin(kIoctlIsochRead, record, inSize, m_readOverlapped, m_bReadEventOpen);
}

std::uint32_t CIsochTransferThread::WaitAttach(std::uint32_t* bytes) {
    return m_hDevice.GetResult(m_attachOverlapped, bytes, true);
}

std::uint32_t CIsochTransferThread::WaitRead(std::uint32_t* bytes) {
    return m_hDevice.GetResult(m_readOverlapped, bytes, true);
}
