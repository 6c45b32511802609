// The capture's receive loop and its frame ring.
#include "camera/CDcamCaptureThread.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <string_view>
#include <utility>

#include "platform/ByteOrder.h"
#include "platform/ErrorCodes.h"
#include "platform/Log.h"
#include "platform/PageBlock.h"

using namespace bus;
using platform::kErrorIoIncomplete;
using platform::kErrorIoPending;
using platform::kErrorNotEnoughMemory;

namespace {

// KESTRIX_SHARED_BUFFERS=0 sends frames through the socket, to compare the two paths.
bool SharedBuffersWanted() {
    const char* value = std::getenv("KESTRIX_SHARED_BUFFERS");
    return value == nullptr || std::string_view(value) != "0";
}

// A receive thread that misses a few frame periods (another process ran, the disk was slow)
// finds the frames it missed waiting in the driver, up to 16 or this much memory: at 64 times
// the real rate 16 frames of a small mode are 8 to 17 ms, 8 were as little as 4 ms.
constexpr std::uint64_t kQueuedFrameBytes = 32 * 1024 * 1024;
constexpr std::uint64_t kMostQueuedFrames = 16;

// The cycle time a driver stamps a frame with: seconds modulo 128 at bit 25, the cycle 0..7999
// at bit 12. Distances wrap at 128 seconds.
constexpr std::uint32_t kCyclesPerSecond = 8000;
constexpr std::uint32_t kCycleWrap = 128 * kCyclesPerSecond;

bool IsCycleTime(std::uint32_t stamp) { return (stamp >> 12 & 0x1FFF) < kCyclesPerSecond; }

std::uint32_t CycleOf(std::uint32_t stamp) {
    return (stamp >> 25) * kCyclesPerSecond + (stamp >> 12 & 0x1FFF);
}

std::uint64_t QueuedFrames(std::uint64_t bufferBytes) {
    return std::clamp<std::uint64_t>(kQueuedFrameBytes / std::max<std::uint64_t>(1, bufferBytes), 1,
                                     kMostQueuedFrames);
}

}  // namespace

CDcamCaptureThread::CDcamCaptureThread()
    : m_pRing(std::make_shared<FrameRing>()), m_bSharedBuffers(SharedBuffersWanted()) {}

CDcamCaptureThread::~CDcamCaptureThread() {
    DetachSink();
    QuitAndJoin();
}

void CDcamCaptureThread::OnFrameReceived(std::span<const std::uint8_t> record) {
    if (record.size() < kIsochReadHeaderBytes ||
        static_cast<std::int32_t>(Word(record, kIsochReadStatusOffset)) < 0) {
        OnNothingDelivered();
        return;
    }
    StoreFrame(record.subspan(kIsochReadHeaderBytes), Word(record, kIsochReadCycleTimeOffset));
}

void CDcamCaptureThread::OnSharedFrameReceived(std::span<const std::uint8_t> header) {
    const auto length = static_cast<std::int32_t>(Word(header, kIsochReadStatusOffset));
    const std::span<const std::uint8_t> memory = m_pShared->Bytes();
    const std::size_t offset = Word(header, kIsochReadSharedOffset);
    // A place outside the memory is the driver's fault; the frame is lost, nothing is read.
    if (length < 0 || offset > memory.size() || std::size_t(length) > memory.size() - offset) {
        OnNothingDelivered();
        return;
    }
    StoreFrame(memory.subspan(offset, std::size_t(length)),
               Word(header, kIsochReadCycleTimeOffset));
}

void CDcamCaptureThread::OnNothingDelivered() {
    m_pRing->CountDropped();
    ++m_nDropsSinceFrame;
}

void CDcamCaptureThread::StoreFrame(std::span<const std::uint8_t> frame, std::uint32_t cycleTime) {
    CountMissedFrames(cycleTime);
    CheckCounter(frame);
    m_pRing->Store(frame, cycleTime);
}

void CDcamCaptureThread::SetFramePeriod(double cycles) {
    m_dFramePeriod = cycles;
    ++m_nCountSerial;
}

void CDcamCaptureThread::CountMissedFrames(std::uint32_t cycleTime) {
    const double period = m_dFramePeriod;
    const unsigned serial = m_nCountSerial;
    const std::uint64_t drops = std::exchange(m_nDropsSinceFrame, 0);
    const bool counting = m_bHaveStamp && serial == m_nStampSerial;
    m_bHaveStamp = period > 0 && IsCycleTime(cycleTime);
    m_nStampSerial = serial;
    const std::uint32_t last = std::exchange(m_nLastStamp, cycleTime);
    if (!counting || !m_bHaveStamp) return;
    const std::uint32_t cycles = (CycleOf(cycleTime) + kCycleWrap - CycleOf(last)) % kCycleWrap;
    // Every frame alike: a driver that stamps nothing (the field holds the buffer size). Further
    // back than ahead: the cycle master changed, and its timer stands behind the last one's.
    if (cycles == 0 || cycles > kCycleWrap / 2) return;
    const long long periods = std::llround(cycles / period);
    // The reads that delivered nothing in the gap were counted already.
    if (periods > 1 && std::uint64_t(periods - 1) > drops) {
        m_pRing->CountLost(std::uint64_t(periods - 1) - drops);
    }
}

void CDcamCaptureThread::CheckCounter(std::span<const std::uint8_t> frame) {
    if (!m_bCheckCounter || frame.size() < 4) {
        m_bHaveCounter = false;
        return;
    }
    const std::uint32_t counter = platform::LoadBE32(frame.data());
    const std::uint32_t step = counter - m_nLastCounter;
    // Half the counter's range apart is taken for a restart, not for two billion lost frames.
    if (m_bHaveCounter && step > 1 && step < 0x80000000u) m_nCounterGaps += step - 1;
    m_bHaveCounter = true;
    m_nLastCounter = counter;
}

bool CDcamCaptureThread::CopyFrame(void* dst, int slot, int* slotCopied) const {
    // The caller vouches for room for one slot.
    return m_pRing->Copy(dst, std::numeric_limits<std::size_t>::max(), slot, slotCopied);
}

bool CDcamCaptureThread::CopyFrame(std::span<std::uint8_t> dst, int slot, int* slotCopied,
                                   std::uint16_t* sequence) const {
    return m_pRing->Copy(dst.data(), dst.size(), slot, slotCopied, sequence);
}

bool CDcamCaptureThread::AttachSink(std::unique_ptr<FrameSink> sink) {
    if (!sink || m_pSink) return false;
    m_pSink = std::move(sink);
    m_pRing->SetRecordingEvent(&m_pSink->FrameReady());
    return true;
}

std::unique_ptr<FrameSink> CDcamCaptureThread::DetachSink() {
    if (!m_pSink) return nullptr;
    m_pRing->SetRecording(false);
    // Once this returns the receive thread no longer signals the sink's event.
    m_pRing->SetRecordingEvent(nullptr);
    m_pSink->Stop();
    return std::move(m_pSink);
}

void CDcamCaptureThread::RunTransfer() {
    m_nState = kStateArmed;
    m_pStartEvent->Wait();
    // A capture only listens; a stop or quit before the start ends it here.
    if (m_bTalk || Stopping()) {
        m_nState = m_bTalk ? kStateFailed : kStateIdle;
        return;
    }
    // A failure before the loop leaves state 3, so that whoever armed the capture stops waiting.
    Record attach;
    if (!StartListening(attach)) {
        m_nState = kStateFailed;
        return;
    }
    // Zeroed by the system and faulted in only where an answer writes: into shared memory that
    // is the header alone, so a start does not pay for a frame's worth of pages it never uses.
    platform::PageBlock read;
    if (!read.Allocate(kIsochReadHeaderBytes + std::size_t{m_nBufferBytes})) {
        KX_LOG(Capture, Warn) << "no memory for a read record of " << m_nBufferBytes.load()
                              << " bytes";
        m_hDevice.CancelAll();
        CloseAttachEvent();
        m_nState = kStateFailed;
        return;
    }
    m_bLoop = true;
    m_bHaveStamp = false;
    m_nState = kStateRunning;
    // Fresh memory is brought in while the first frame is on its way, not in the start; frames
    // that complete meanwhile wait in the driver.
    if (m_pShared && m_bFreshShared) m_pShared->Populate(0, m_pShared->Bytes().size());
    ReceiveFrames({read.Data(), read.Size()});
    EndTransfer();
    m_bLoop = false;
    m_nState = kStateIdle;
}

bool CDcamCaptureThread::StartListening(Record& attach) {
    const std::uint32_t status = AttachReceiveBuffers(attach, true);
    if (status != 0 && status != kErrorIoPending) {
        CloseAttachEvent();
        ReleaseSharedBuffers();
        return false;
    }
    FixedRecord<12> start = MakeStartRecord(m_dwResource);
    if (IsochListen(start) == 0) {
        // The driver answers in order, so a refused attach has been answered by now; a
        // listening attach otherwise pends until it is detached. Refused shared memory falls
        // back to the socket.
        if (m_pShared &&
            m_hDevice.GetResult(m_attachOverlapped, nullptr, false) != kErrorIoIncomplete) {
            ReleaseSharedBuffers();
            const std::uint32_t again = AttachReceiveBuffers(attach, false);
            if (again == 0 || again == kErrorIoPending) return true;
            FixedRecord<8> stop = MakeStopRecord(m_dwResource);
            IsochStop(stop);
            CloseAttachEvent();
            return false;
        }
        return true;
    }
    // The cancelled attach no longer writes into its record.
    m_hDevice.CancelAll();
    CloseAttachEvent();
    ReleaseSharedBuffers();
    return false;
}

std::uint64_t CDcamCaptureThread::SharedBufferBytes(std::uint32_t descriptors,
                                                    std::uint32_t bufferBytes) {
    // Room for every descriptor, one slot being filled, one the loop still copies from, and
    // frames the driver holds while this thread is not scheduled.
    return (std::uint64_t{descriptors} + 2 + QueuedFrames(bufferBytes)) * bufferBytes;
}

std::unique_ptr<platform::SharedBuffer> CDcamCaptureThread::PrepareSharedBuffers(
    std::uint64_t bytes) {
    if (!SharedBuffersWanted() || bytes == 0 || bytes > std::numeric_limits<std::size_t>::max())
        return nullptr;
    auto memory = platform::SharedBuffer::Create(std::size_t(bytes));
    // Memory whose pages cannot all be had now would only fault in later, on the receive path.
    if (memory && !memory->Populate(0, memory->Bytes().size())) return nullptr;
    return memory;
}

std::uint32_t CDcamCaptureThread::AttachReceiveBuffers(Record& attach, bool shared) {
    const std::uint64_t bytes = SharedBufferBytes(m_nDescriptors, m_nBufferBytes);
    std::unique_ptr<platform::SharedBuffer> offered = std::move(m_pOffered);
    if (shared && m_bSharedBuffers) {
        // Memory offered by the owner has its pages in already (made ready, or used before).
        m_bFreshShared = !(offered && offered->Bytes().size() == bytes && offered->Fd() >= 0);
        m_pShared = m_bFreshShared ? platform::SharedBuffer::Create(bytes) : std::move(offered);
    }
    // Into shared memory the record needs no data areas.
    if (!AllocAttachRecord(attach, m_pShared == nullptr) || !BuildDescriptors(attach, nullptr)) {
        return kErrorNotEnoughMemory;
    }
    if (!m_pShared) return IsochAttachBuffers(attach);
    // The descriptor stays open, so that the memory can be passed again after a stop.
    const std::uint32_t status = IsochAttachBuffers(attach, m_pShared->Fd());
    m_bHaveShared = true;
    return status;
}

void CDcamCaptureThread::ReleaseSharedBuffers(bool keep) {
    m_bHaveShared = false;
    m_pKept = keep ? std::move(m_pShared) : nullptr;
    m_pShared.reset();
}

void CDcamCaptureThread::ReceiveFrames(std::span<std::uint8_t> read) {
    const std::uint32_t bufferBytes = m_nBufferBytes;
    while (!m_bStopRequest && !m_bQuit) {
        FillIsochReadRecord(read, m_dwResource, bufferBytes);
        std::uint32_t bytes = 0;
        // Into shared memory the data area is never used: only the header travels.
        std::uint32_t status = IsochReadData(read, m_pShared == nullptr);
        if (status == 0 || status == kErrorIoPending) status = WaitForRead(&bytes);
        // Stopped while the read pends: it is cancelled after the loop.
        if (status == kErrorIoIncomplete) break;
        if (status != 0) {
            KX_LOG(Capture, Warn) << "isochronous read on channel " << m_nChannel.load()
                                  << " failed: " << platform::StatusText(status)
                                  << "; the capture holds its frames until it is stopped";
            RecoverFromReadError();
        } else if (!Stopping() && bytes != 0) {
            const auto answer = std::span<const std::uint8_t>(read).first(
                std::min<std::size_t>(bytes, read.size()));
            if (m_pShared && answer.size() == kIsochReadHeaderBytes) {
                OnSharedFrameReceived(answer);
            } else {
                OnFrameReceived(answer);
            }
        }
        CloseReadEvent();
    }
}

std::uint32_t CDcamCaptureThread::WaitForRead(std::uint32_t* bytes) {
    std::uint32_t status = WaitRead(bytes);
    while (status == kErrorIoIncomplete && !Stopping()) status = WaitRead(bytes);
    return status;
}

void CDcamCaptureThread::RecoverFromReadError() {
    // The handle may have died with its device or the bus: take a fresh one. Without one, a stop
    // can only close.
    if (!OpenDevice()) m_bOrderly = false;
    // The driver let go of the shared memory with the old connection.
    ReleaseSharedBuffers();
    m_bHaveStamp = false;
    m_nState = kStateFailed;
    m_pRing->OnReadError();
    m_pStartEvent->Wait();
}

void CDcamCaptureThread::EndTransfer() {
    if (!m_bOrderly) m_hDevice.Close();
    // Whether the driver answered that it no longer fills the memory.
    bool letGo = false;
    if (m_bStopRequest && m_hDevice.IsOpen()) {
        FixedRecord<8> stop = MakeStopRecord(m_dwResource);
        letGo = IsochStop(stop) == 0;
        m_hDevice.CancelAll();
    }
    CloseAttachEvent();
    if (!m_bStopRequest && m_hDevice.IsOpen()) {
        FixedRecord<12> detach = MakeDetachRecord(m_dwResource, m_nDescriptors);
        letGo = IsochDetachBuffers(detach) == 0;
    }
    // Nothing may write into the records once they go.
    if (m_hDevice.IsOpen()) m_hDevice.CancelAll();
    CloseReadEvent();
    ReleaseSharedBuffers(letGo);
}
