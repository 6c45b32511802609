// The bus access object: hidden bus window, shared state, driver requests and threads.
#include "bus/CFirewireComm.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <optional>

#include "bus/DriverCodes.h"
#include "platform/ByteOrder.h"
#include "platform/DeviceDirectory.h"
#include "platform/DeviceHandle.h"
#include "platform/ErrorCodes.h"
#include "platform/Log.h"
#include "platform/SystemInfo.h"

using namespace bus;

namespace {

constexpr auto kRewakeInterval = std::chrono::milliseconds(100);
constexpr std::uint32_t kDefaultBytesPerPacket = 640;

bool IsActive(IsochState state) {
    return state == CIsochTransferThread::kStateArmed ||
           state == CIsochTransferThread::kStateFailed ||
           state == CIsochTransferThread::kStateRunning;
}

int UnitKind(std::uint32_t version) {
    if (version >= 0x000100 && version <= 0x000102) return 2;  // IIDC cameras
    if (version == 0x010001) return 1;
    if (version == 0x014100) return 3;
    return 0;
}

std::uint32_t LoadBE24(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 16 | std::uint32_t(p[1]) << 8 | p[2];
}

// A transfer's destination in a log line.
std::string DestinationText(bool unit, unsigned node) {
    return unit ? "the unit" : "node " + std::to_string(node);
}

}  // namespace

CFirewireComm::CFirewireComm() = default;

CFirewireComm::~CFirewireComm() {
    if (IsOpen()) CFirewireComm::Close();
}

CFirewireComm::HWND CFirewireComm::GetSafeHwnd() const {
    return m_pWindow ? m_pWindow->Handle() : 0;
}

// ---- The hidden window and the shared block ----

bool CFirewireComm::Open() {
    if (IsOpen()) return false;
    m_pSharedMap = SharedBusBlock::Open();
    if (!m_pSharedMap) {
        KX_LOG(Bus, Error) << "the shared bus block cannot be joined";
        return false;
    }
    m_pSharedMap->AddOpenCount(1);
    m_pWindow = platform::MessageEndpoint::Create(
        [this](const platform::Message& message) { return WindowProc(message); });
    if (!m_pWindow || OnCreate() != 0) {
        DestroyWindow();
        m_pSharedMap->AddOpenCount(-1);
        m_pSharedMap.reset();
        return false;
    }
    const HWND hWnd = m_pWindow->Handle();
    // Every window watches the device directory so that a device change is still noticed when
    // the master's process has died; only the live master acts on it (OnDeviceChange).
    m_pNotification = platform::DeviceNotification::Register(hWnd);
    m_pSharedMap->ClaimMaster(hWnd);
    if (!AddSharedWindow(hWnd)) {
        CFirewireComm::Close();
        return false;
    }
    return true;
}

bool CFirewireComm::Close() {
    if (!IsOpen()) return false;
    const HWND hWnd = m_pWindow->Handle();
    RemoveSharedWindow(hWnd);
    m_pNotification.reset();
    m_pSharedMap->ReleaseMaster(hWnd);
    m_pSharedMap->AddOpenCount(-1);
    // The window goes first: its bus-reset thread reads the shared block until it is stopped.
    DestroyWindow();
    m_pSharedMap.reset();
    return true;
}

void CFirewireComm::DestroyWindow() {
    if (!m_pWindow) return;
    platform::MessageEndpoint::Send(m_pWindow->Handle(), {kWmDestroy, 0, 0});
    m_pWindow.reset();
}

std::int64_t CFirewireComm::WindowProc(const platform::Message& message) {
    switch (message.msg) {
        case kWmDestroy:
            OnDestroy();
            return 0;
        case platform::kWmDeviceChange:
            return OnDeviceChange(message.wParam, message.lParam);
        case kWmCameraDeviceList:
            return OnDeviceListChanged(message.wParam, message.lParam);
        case kWmCameraBusReset:
            return OnBusReset(message.wParam, message.lParam);
        default:
            return 0;
    }
}

int CFirewireComm::OnCreate() {
    CheckOSVersion();
    EnumerateDevices();
    return 0;
}

void CFirewireComm::OnDestroy() {
    m_handleCache.Clear();
    StopBusResetThread();
    for (auto& thread : m_TransferList) thread->QuitAndJoin();
    m_TransferList.clear();
}

std::uint32_t CFirewireComm::CheckOSVersion() {
    m_pSharedMap->SetPlatformId(platform::SystemInfo::PlatformId());
    return 0;
}

void CFirewireComm::EnumerateDevices() {
    m_handleCache.Clear();
    StopBusResetThread();
    if (m_pSharedMap->SetDevices(platform::DeviceDirectory::ListInterfaces()) > 0) {
        StartBusResetThread();
    }
}

void CFirewireComm::StartBusResetThread() {
    if (m_pBusResetThread) return;
    m_pBusResetThread =
        std::make_unique<CBusResetThread>(m_pSharedMap->FirstDevice(), m_pSharedMap.get());
    m_pBusResetThread->CreateThread();
}

void CFirewireComm::StopBusResetThread() {
    if (!m_pBusResetThread) return;
    m_pBusResetThread->Stop();
    m_pBusResetThread.reset();
}

std::int64_t CFirewireComm::OnDeviceChange(std::uint64_t nEventType, std::int64_t dwData) {
    const bool ours = dwData == platform::kDeviceTypeInterface;
    const bool arrival = nEventType == platform::kDeviceArrival && ours;
    const bool removal = nEventType == platform::kDeviceRemoveComplete && ours;
    const bool nodes = nEventType == platform::kDeviceNodesChanged;
    if (!arrival && !removal && !nodes) return 0;
    // A window that finds the master gone takes its place before acting.
    if (!m_pSharedMap->ClaimMaster(GetSafeHwnd())) return 0;

    const std::uint32_t platformId = m_pSharedMap->PlatformId();
    bool rescan = false;
    if (arrival) {
        rescan = true;
        s_bRemovalPending = false;
    } else if (removal) {
        rescan = platformId == 2;
        if (!rescan) s_bRemovalPending = true;
    } else if (platformId == 1 && s_bRemovalPending) {
        rescan = true;
        s_bRemovalPending = false;
    }
    if (rescan) {
        EnumerateDevices();
        BroadcastShared(kWmCameraDeviceList);
    }
    return 0;
}

bool CFirewireComm::AddSharedWindow(HWND hWnd) {
    // Open names the master (claiming the role when it is free or its window is gone) before
    // this runs, so there is nothing to wait for here.
    if (!m_pSharedMap->AddWindow(hWnd)) return false;
    platform::MessageEndpoint::Send(hWnd, {kWmCameraDeviceList, 0, 0});
    return true;
}

bool CFirewireComm::RemoveSharedWindow(HWND hWnd) {
    m_pSharedMap->RemoveWindow(hWnd);
    return true;
}

void CFirewireComm::BroadcastShared(std::uint32_t nMsg) { m_pSharedMap->SendToWindows(nMsg); }

void CFirewireComm::GetDeviceList() { m_nDeviceCount = m_pSharedMap->GetDevices(m_szDevicePath); }

std::int64_t CFirewireComm::OnDeviceListChanged(std::uint64_t wParam, std::int64_t lParam) {
    // A path may now name another device, or none.
    m_handleCache.Clear();
    GetDeviceList();
    if (m_nCurrentDevice < 0 && m_nDeviceCount > 0) SelectDevice(0);
    for (const auto& [hWnd, nMsg] : m_ClientList) {
        if (hWnd != 0) platform::MessageEndpoint::Post(hWnd, {nMsg, wParam, lParam});
    }
    return 0;
}

std::int64_t CFirewireComm::OnBusReset(std::uint64_t wParam, std::int64_t lParam) {
    m_handleCache.Clear();
    for (const auto& [hWnd, nMsg] : m_ClientList) {
        if (hWnd != 0) platform::MessageEndpoint::Post(hWnd, {nMsg + 1, wParam, lParam});
    }
    return 0;
}

void CFirewireComm::RegisterClient(HWND hWnd, std::uint32_t nMsg) {
    const bool known = std::any_of(m_ClientList.begin(), m_ClientList.end(),
                                   [hWnd](const auto& client) { return client.first == hWnd; });
    if (!known) m_ClientList.emplace_back(hWnd, nMsg);
}

void CFirewireComm::UnregisterClient(HWND hWnd) {
    std::erase_if(m_ClientList, [hWnd](const auto& client) { return client.first == hWnd; });
}

// ---- Devices and synchronous requests ----

bool CFirewireComm::SelectDevice(unsigned nDevice) {
    if (m_nDeviceCount == 0 || nDevice >= m_nDeviceCount) return false;
    m_nCurrentDevice = static_cast<int>(nDevice);
    return true;
}

std::string CFirewireComm::GetDevicePath(unsigned nDevice) const {
    return nDevice < m_nDeviceCount ? std::string(m_szDevicePath[nDevice].data()) : std::string();
}

const char* CFirewireComm::CurrentPath() const {
    if (m_nCurrentDevice < 0 || unsigned(m_nCurrentDevice) >= m_nDeviceCount) return nullptr;
    return m_szDevicePath[m_nCurrentDevice].data();
}

std::uint32_t CFirewireComm::SendRequest(std::uint32_t code, std::span<std::uint8_t> record,
                                         std::uint32_t* bytesReturned) {
    const char* path = CurrentPath();
    if (path == nullptr) return platform::kErrorInvalidHandle;
    std::uint32_t error = 0;
    const auto device = m_handleCache.Acquire(path, error);
    if (!device) return error;
    const auto size = static_cast<std::uint32_t>(record.size());
    error = device->Request(code, record, size, size, bytesReturned,
                            platform::DeviceHandle::kRequestTimeout);
    // The connection may be broken (driver gone or restarted) or stuck: the next request
    // connects afresh. This one is not repeated, so no request reaches the driver twice.
    if (error == platform::kErrorDeviceNotConnected || error == platform::kErrorInvalidHandle ||
        error == platform::kErrorSemTimeout) {
        m_handleCache.Drop(device);
    }
    return error;
}

int CFirewireComm::GetNodeNumber(bool bLocalHost) {
    FixedRecord<8> record = MakeNodeAddressRecord(bLocalHost);
    if (const std::uint32_t error = SendRequest(kIoctlNodeAddress, record); error != 0) {
        KX_LOG(Bus, Warn) << "node-address request failed: " << platform::StatusText(error);
        return static_cast<int>(error | 0xFFFF);
    }
    return static_cast<int>(Word(record, kNodeAddressOffset) & 0x3F);
}

bool CFirewireComm::IsHostNode(unsigned nNode) {
    return std::uint16_t(nNode) == std::uint16_t(GetNodeNumber(true));
}

CFirewireComm::Destination CFirewireComm::NodeDestination(unsigned nBus, unsigned nNode) {
    // The host adapter's own node is reached through host memory, not over the bus.
    return {IsHostNode(nNode), false, false, nBus, nNode};
}

std::optional<unsigned> CFirewireComm::Transfer(bool bWrite, const void* pIn, void* pOut,
                                                unsigned nBytes, const Destination& to,
                                                std::uint16_t nOffsetHigh,
                                                std::uint32_t nOffsetLow) {
    const bool host = to.host;
    const std::size_t dataOffset = host ? kHostMemoryHeaderBytes : kAsyncHeaderBytes;
    Record record;
    if (!AllocateRecord(record, host ? HostMemoryRecordSize(nBytes) : AsyncRecordSize(nBytes))) {
        return std::nullopt;
    }
    if (host) {
        FillHostMemoryRecord(record, m_dwHostAddressRange, nBytes);
    } else {
        FillAsyncRecord(record, NodeAddress(to.nBus, to.nNode), nOffsetHigh, nOffsetLow,
                        static_cast<std::uint32_t>(RoundUpToQuad(nBytes)),
                        to.unit ? kAsyncToUnit : 0);
    }
    if (bWrite) std::memcpy(&record[dataOffset], pIn, nBytes);
    const std::uint32_t code = host ? (bWrite ? kIoctlHostMemoryWrite : kIoctlHostMemoryRead)
                               : to.broadcast ? kIoctlAsyncBroadcastWrite
                                              : (bWrite ? kIoctlAsyncWrite : kIoctlAsyncRead);
    std::uint32_t returned = 0;
    const platform::Hex address(std::uint64_t{nOffsetHigh} << 32 | nOffsetLow);
    if (const std::uint32_t status = SendRequest(code, record, &returned); status != 0) {
        KX_LOG(Bus, Warn) << RequestName(code) << " of " << nBytes << " bytes at "
                          << DestinationText(to.unit, to.nNode) << " address " << address
                          << " failed: " << platform::StatusText(status);
        return std::nullopt;
    }
    KX_LOG(Bus, Debug) << RequestName(code) << " of " << nBytes << " bytes at "
                       << DestinationText(to.unit, to.nNode) << " address " << address << ": " << returned
                       << " record bytes back";
    if (bWrite) return nBytes;
    // The answer may be cut short; only the data bytes that came back count.
    const unsigned got =
        returned > dataOffset ? std::min<unsigned>(nBytes, returned - dataOffset) : 0;
    std::memcpy(pOut, &record[dataOffset], got);
    return got;
}

unsigned CFirewireComm::AsyncRead(void* pData, unsigned nBytes, unsigned nBus, unsigned nNode,
                                  std::uint16_t nOffsetHigh, std::uint32_t nOffsetLow) {
    return Transfer(false, nullptr, pData, nBytes, NodeDestination(nBus, nNode), nOffsetHigh,
                    nOffsetLow)
        .value_or(0);
}

bool CFirewireComm::AsyncWrite(const void* pData, unsigned nBytes, unsigned nBus, unsigned nNode,
                               std::uint16_t nOffsetHigh, std::uint32_t nOffsetLow) {
    return Transfer(true, pData, nullptr, nBytes, NodeDestination(nBus, nNode), nOffsetHigh,
                    nOffsetLow)
        .has_value();
}

unsigned CFirewireComm::UnitRead(void* pData, unsigned nBytes, std::uint16_t nOffsetHigh,
                                 std::uint32_t nOffsetLow) {
    return Transfer(false, nullptr, pData, nBytes, {false, true, false, kLocalBus, 0}, nOffsetHigh,
                    nOffsetLow)
        .value_or(0);
}

bool CFirewireComm::UnitWrite(const void* pData, unsigned nBytes, std::uint16_t nOffsetHigh,
                              std::uint32_t nOffsetLow) {
    return Transfer(true, pData, nullptr, nBytes, {false, true, false, kLocalBus, 0}, nOffsetHigh,
                    nOffsetLow)
        .has_value();
}

bool CFirewireComm::BroadcastWrite(const void* pQuadlet, std::uint16_t nOffsetHigh,
                                   std::uint32_t nOffsetLow) {
    return Transfer(true, pQuadlet, nullptr, 4, {false, false, true, kLocalBus, kBroadcastNode},
                    nOffsetHigh, nOffsetLow)
        .has_value();
}

bool CFirewireComm::GetMaxSpeed(int* pSpeed) {
    FixedRecord<268> device = MakeMaxSpeedRecord(false);
    FixedRecord<268> host = MakeMaxSpeedRecord(true);
    for (auto* record : {&device, &host}) {
        if (const std::uint32_t status = SendRequest(kIoctlMaxSpeed, *record); status != 0) {
            KX_LOG(Bus, Warn) << "max-speed request failed: " << platform::StatusText(status);
            return false;
        }
    }
    *pSpeed =
        static_cast<int>(std::min(Word(device, kMaxSpeedOffset), Word(host, kMaxSpeedOffset)));
    return true;
}

bool CFirewireComm::ReadCycleTimer(platform::CycleTimerReading* pReading) {
    FixedRecord<kCycleTimerRecordBytes> record{};
    if (const std::uint32_t status = SendRequest(kIoctlCycleTimer, record); status != 0) {
        KX_LOG(Bus, Debug) << "cycle-timer request failed: " << platform::StatusText(status);
        return false;
    }
    *pReading = platform::CycleTimerReading::Load(record);
    return true;
}

bool CFirewireComm::RequestBusReset() {
    FixedRecord<kBusResetRecordBytes> record{};
    if (const std::uint32_t status = SendRequest(kIoctlBusResetRequest, record); status != 0) {
        KX_LOG(Bus, Warn) << "bus-reset request failed: " << platform::StatusText(status);
        return false;
    }
    return true;
}

bool CFirewireComm::GetReceiveContexts(int* pContexts) {
    FixedRecord<kHostInfoRecordBytes> record = MakeHostInfoRecord();
    if (const std::uint32_t status = SendRequest(kIoctlHostInfo, record); status != 0) {
        KX_LOG(Bus, Debug) << "host-information request failed: " << platform::StatusText(status);
        return false;
    }
    if ((Word(record, kHostInfoCapsOffset) & kHostCapReceiveContexts) == 0) return false;
    *pContexts = static_cast<int>(Word(record, kHostInfoReceiveContextsOffset));
    return true;
}

bool CFirewireComm::ReadConfiguration(Record& record, ConfigSizes& sizes) {
    FixedRecord<kConfigHeaderBytes> header{};
    std::uint32_t status = SendRequest(kIoctlConfigInfo, header);
    if (status == 0) {
        sizes = ReadConfigSizes(header);
        if (!AllocateRecord(record, kConfigHeaderBytes + sizes.Total())) return false;
        WriteConfigSizes(record, sizes);
        status = SendRequest(kIoctlConfigInfo, record);
    }
    if (status != 0) {
        KX_LOG(Bus, Warn) << "config-info request failed: " << platform::StatusText(status);
    }
    return status == 0;
}

bool CFirewireComm::GetUnitVersion(int* pVersion) {
    *pVersion = 0;
    Record record;
    ConfigSizes sizes;
    if (!ReadConfiguration(record, sizes)) return false;
    // The version is the value of the unit directory's second quadlet.
    if (sizes.unitDirectory >= 8) *pVersion = UnitKind(LoadBE24(&record[kConfigHeaderBytes + 5]));
    return true;
}

bool CFirewireComm::GetUnitInfo(std::uint32_t* pCommandBase, std::uint32_t* pVendorId) {
    Record record;
    ConfigSizes sizes;
    if (!ReadConfiguration(record, sizes)) return false;
    *pVendorId = LoadBE24(&record[kConfigGuidOffset]);
    if (sizes.unitDirectory == 0 || sizes.unitDependentDirectory < 4) return false;
    // Key byte out, quadlet offset into a byte offset.
    *pCommandBase = platform::LoadBE32(&record[kConfigHeaderBytes + sizes.unitDirectory]) << 2;
    return true;
}

bool CFirewireComm::GetUnitNames(std::string* pVendor, std::string* pModel) {
    Record record;
    ConfigSizes sizes;
    if (!ReadConfiguration(record, sizes)) return false;
    // A textual leaf: type and language quadlets, then ASCII padded with zeros.
    const auto text = [&](std::size_t at, std::uint32_t bytes) {
        std::string name;
        for (std::size_t i = 8; i < bytes && record[at + i] != 0; ++i) {
            const char c = static_cast<char>(record[at + i]);
            name += c >= 0x20 && c < 0x7F ? c : '?';
        }
        return name;
    };
    const std::size_t vendorAt =
        kConfigHeaderBytes + std::size_t{sizes.unitDirectory} + sizes.unitDependentDirectory;
    *pVendor = text(vendorAt, sizes.vendorLeaf);
    *pModel = text(vendorAt + sizes.vendorLeaf, sizes.modelLeaf);
    return true;
}

bool CFirewireComm::GetBandwidthRefusal(std::uint32_t* pNeeded, std::uint32_t* pLeft) const {
    if (m_bandwidthRefusal.first == 0) return false;
    *pNeeded = m_bandwidthRefusal.first;
    *pLeft = m_bandwidthRefusal.second;
    return true;
}

bool CFirewireComm::GetUnitGuid(std::uint64_t* pGuid) {
    Record record;
    ConfigSizes sizes;
    if (!ReadConfiguration(record, sizes)) return false;
    *pGuid = std::uint64_t{platform::LoadBE32(&record[kConfigGuidOffset])} << 32 |
             platform::LoadBE32(&record[kConfigGuidOffset + 4]);
    return true;
}

// ---- Transfer threads ----

std::unique_ptr<CIsochTransferThread> CFirewireComm::CreateIsochThread() {
    try {
        return std::make_unique<CIsochTransferThread>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool CFirewireComm::StartIsochTransfer(int nChannel, bool bTalk, bool bAllocate, int nSpeed,
                                       int nDescMode, int nBytesPerPacket, int nBufferBytes,
                                       bool bCircular, std::uint32_t dwDescValue) {
    m_bandwidthRefusal = {0, 0};
    int speed = nSpeed;
    if (speed == -1 && !GetMaxSpeed(&speed)) return false;
    std::unique_ptr<CIsochTransferThread> thread = CreateIsochThread();
    if (!thread) return false;

    const char* path = CurrentPath();
    thread->SetDevicePath(path != nullptr ? path : "");
    thread->m_nChannel = nChannel;
    thread->m_bTalk = bTalk;
    thread->m_bAllocate = bAllocate;
    thread->m_nSpeed = static_cast<std::uint32_t>(speed);
    thread->m_nDescMode = static_cast<std::uint32_t>(nDescMode);
    thread->m_dwDescValue = dwDescValue;
    thread->m_bPacketMode = m_bPacketMode;
    thread->m_nBytesPerPacket =
        nBytesPerPacket != 0 ? static_cast<std::uint32_t>(nBytesPerPacket) : kDefaultBytesPerPacket;
    thread->m_nBufferBytes = static_cast<std::uint32_t>(nBufferBytes);
    thread->m_nDescriptors = 1;
    thread->m_bCircular = bCircular;
    thread->CreateEvents();
    if (!thread->CreateThread(platform::ThreadPriority::TimeCritical)) return false;

    // The thread leaves state 0 once it holds its resources (5) or has failed to get them (3).
    const IsochState opened = thread->m_nState.WaitWhile(
        [](IsochState state) { return state == CIsochTransferThread::kStateCreated; });
    m_bandwidthRefusal = {thread->m_nBandwidthNeeded, thread->m_nBandwidthLeft};
    if (opened == CIsochTransferThread::kStateFailed) {
        KX_LOG(Bus, Warn) << "isochronous transfer on channel " << nChannel
                          << " could not get its resources";
        thread->QuitAndJoin();
        return false;
    }
    m_TransferList.push_back(std::move(thread));
    return true;
}

int CFirewireComm::StopIsochTransfer(int nChannel, bool bOrderly) {
    CIsochTransferThread* thread = FindIsochThread(nChannel);
    if (thread == nullptr) return 0;
    IsochState state = thread->m_nState;
    if (!IsActive(state)) return static_cast<int>(state);
    if (!thread->HasAttachEvent()) return 0;
    thread->RequestStop(bOrderly);
    // Returns as soon as the thread has stopped. Should it not answer, the wake is repeated
    // every interval, so that a stop landing just before a wait of the thread is not lost.
    while (IsActive(state = thread->m_nState.WaitWhile(IsActive, kRewakeInterval))) {
        thread->WakeWaits();
    }
    thread->m_nState = CIsochTransferThread::kStateIdle;
    return static_cast<int>(state);
}

CIsochTransferThread* CFirewireComm::FindIsochThread(int nChannel) const {
    for (const auto& thread : m_TransferList) {
        if (thread->m_nChannel == nChannel) return thread.get();
    }
    return nullptr;
}

void CFirewireComm::KillIsochThread(CIsochTransferThread* pThread) {
    auto it = std::find_if(m_TransferList.begin(), m_TransferList.end(),
                           [pThread](const auto& thread) { return thread.get() == pThread; });
    if (it == m_TransferList.end()) return;
    std::unique_ptr<CIsochTransferThread> owned = std::move(*it);
    m_TransferList.erase(it);
    owned->QuitAndJoin();
}

void CFirewireComm::RemoveIsochTransfer(int nChannel) {
    if (CIsochTransferThread* thread = FindIsochThread(nChannel)) KillIsochThread(thread);
}
