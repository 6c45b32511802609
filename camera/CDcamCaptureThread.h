// The receive thread of one capture: the bus layer's transfer thread with a receive loop that
// copies every completed isochronous read into the next slot of its frame ring.
//
// By default the receive memory is shared with the driver (a memfd handed over with the attach),
// so a read completes with the frame already in place and the one copy is into the ring slot;
// a driver that refuses it gets the frames through the socket instead. Memory the driver let go
// of in order is kept for the owner, so that the next capture of the same size need not make
// and fault in new memory.
//
// Threading: the owner (the camera object's thread) arms, stops and removes the capture and
// attaches or detaches the frame sink; the receive thread runs RunTransfer and stores frames;
// any thread may copy slots and read the ring's figures (the ring is thread-safe, FrameRing.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>

#include "bus/CIsochTransferThread.h"
#include "bus/DriverRecords.h"
#include "camera/FrameRing.h"
#include "camera/FrameSink.h"
#include "platform/SharedBuffer.h"

class C1394Dcam;

class CDcamCaptureThread : public CIsochTransferThread {
public:
    CDcamCaptureThread();
    // Stops an attached sink, then ends the receive thread; the ring is freed last.
    ~CDcamCaptureThread() override;

    bool AllocRing(std::uint32_t slotSize, int slotCount) {
        return m_pRing->Alloc(slotSize, slotCount);
    }
    void FreeRing() { m_pRing->Free(); }
    // One completed isochronous read: its 16 header bytes and the data that came with it. A
    // negative status word drops the frame.
    void OnFrameReceived(std::span<const std::uint8_t> record);
    // Copies one slot of slot-size bytes into dst (negative slot: the newest).
    bool CopyFrame(void* dst, int slot, int* slotCopied) const;
    // The same, false when dst is shorter than a slot; also gives the slot's sequence number.
    bool CopyFrame(std::span<std::uint8_t> dst, int slot, int* slotCopied,
                   std::uint16_t* sequence) const;

    // Checks the frame counter a camera may stamp big-endian into each frame's first 4 bytes:
    // a jump forward counts the frames skipped, lost before they reached the ring. A jump back
    // (the camera restarted its count) starts the check afresh.
    void SetCounterCheck(bool on) { m_bCheckCounter = on; }
    std::uint64_t GetCounterGaps() const { return m_nCounterGaps; }

    // The frame period of a free-running camera in bus cycles (8000 a second): the gaps between
    // the cycle stamps the driver gives each frame then count the frames that never arrived as
    // lost (FrameRing::Stats). 0 counts none: a trigger or a shot count paces the frames, or the
    // camera does not transmit. Each call starts the count afresh.
    //
    // Stamps rise only within one bus generation: a reset may hand the cycle master's role to a
    // node whose timer is unrelated. A stamp that steps back, and the first after NoteBusReset,
    // count nothing and become the reference for the next.
    void SetFramePeriod(double cycles);
    // Any thread: the bus was reset.
    void NoteBusReset() { ++m_nCountSerial; }

    int GetSlotCount() const { return m_pRing->GetSlotCount(); }
    std::uint32_t GetSlotSize() const { return m_pRing->GetSlotSize(); }
    int GetWriteIndex() const { return m_pRing->GetWriteIndex(); }
    bool HasFrame() const { return m_pRing->HasFrame(); }
    std::uint16_t GetSequence(int slot) const { return m_pRing->GetSequence(slot); }
    FrameRing::Stats GetStats() const { return m_pRing->GetStats(); }
    // Shared with readers that must outlive the thread object.
    const std::shared_ptr<FrameRing>& Ring() const { return m_pRing; }

    // Whether the next capture offers the driver shared receive memory (set before the start).
    void UseSharedBuffers(bool on) { m_bSharedBuffers = on; }
    // Whether the running capture receives through shared memory.
    bool HasSharedBuffers() const { return m_bHaveShared; }
    // Receive memory an earlier capture kept (owner, before the start): used when it has the
    // size this capture needs, let go otherwise.
    void OfferSharedBuffers(std::unique_ptr<platform::SharedBuffer> memory) {
        m_pOffered = std::move(memory);
    }
    // Once the thread has ended: its receive memory if the driver let go of it in order (so it
    // may be passed again), else empty.
    std::unique_ptr<platform::SharedBuffer> TakeKeptSharedBuffers() { return std::move(m_pKept); }
    // The receive memory a capture of descriptors buffers of bufferBytes passes the driver.
    static std::uint64_t SharedBufferBytes(std::uint32_t descriptors, std::uint32_t bufferBytes);
    // Receive memory of bytes with its pages in, made ahead of a capture so that the start need
    // not fault it in; empty when shared memory is off or cannot be had.
    static std::unique_ptr<platform::SharedBuffer> PrepareSharedBuffers(std::uint64_t bytes);

    void SetOwner(C1394Dcam* owner) { m_pOwner = owner; }
    C1394Dcam* GetOwner() const { return m_pOwner; }

    // Takes a sink over; false when one is attached already or sink is empty.
    bool AttachSink(std::unique_ptr<FrameSink> sink);
    FrameSink* GetSink() const { return m_pSink.get(); }
    // Recording off, the sink stopped and handed back; empty when none was attached.
    std::unique_ptr<FrameSink> DetachSink();
    // Whether stored frames signal the sink's event.
    void SetRecording(bool on) { m_pRing->SetRecording(on && m_pSink != nullptr); }
    bool IsRecording() const { return m_pRing->IsRecording(); }

protected:
    // Armed until the start event; then attach, listen and read frame after frame until stopped.
    void RunTransfer() override;

private:
    // Attaches the receive buffer and starts listening; false (the attach over) on failure.
    bool StartListening(bus::Record& attach);
    // Builds the attach record and attaches the buffers: with shared memory (and a record
    // without data areas) when shared is asked, on and can be made, else through the socket.
    std::uint32_t AttachReceiveBuffers(bus::Record& attach, bool shared);
    // A read that delivered nothing: its frame is lost.
    void OnNothingDelivered();
    // A read answered with only its header: the frame lies in the shared memory.
    void OnSharedFrameReceived(std::span<const std::uint8_t> header);
    void StoreFrame(std::span<const std::uint8_t> frame, std::uint32_t cycleTime);
    // Counts the frames missing between the last frame and one stamped cycleTime.
    void CountMissedFrames(std::uint32_t cycleTime);
    // keep: the driver no longer writes into the memory, so a later capture may pass it again.
    void ReleaseSharedBuffers(bool keep = false);
    void ReceiveFrames(std::span<std::uint8_t> read);
    // Waits for the pending read; kErrorIoIncomplete only when a stop or quit woke the wait.
    std::uint32_t WaitForRead(std::uint32_t* bytes);
    // Starts over on a fresh handle, reports state 3 and waits to be restarted or stopped.
    void RecoverFromReadError();
    void EndTransfer();
    bool Stopping() const { return m_bStopRequest || m_bQuit; }
    void CheckCounter(std::span<const std::uint8_t> frame);

    std::shared_ptr<FrameRing> m_pRing;
    std::atomic<C1394Dcam*> m_pOwner{nullptr};
    std::unique_ptr<FrameSink> m_pSink;  // owner thread only
    std::atomic<bool> m_bSharedBuffers{true};
    std::atomic<bool> m_bHaveShared{false};
    std::unique_ptr<platform::SharedBuffer> m_pShared;  // receive thread only
    bool m_bFreshShared = false;  // m_pShared was made by this capture: its pages are not in
    // Handed over by the owner before the start / to the owner after the thread ended.
    std::unique_ptr<platform::SharedBuffer> m_pOffered;
    std::unique_ptr<platform::SharedBuffer> m_pKept;
    std::atomic<bool> m_bCheckCounter{false};
    std::atomic<std::uint64_t> m_nCounterGaps{0};
    bool m_bHaveCounter = false;  // receive thread only, as the counter below
    std::uint32_t m_nLastCounter = 0;
    std::atomic<double> m_dFramePeriod{0};
    std::atomic<unsigned> m_nCountSerial{0};  // changed by every SetFramePeriod and bus reset
    // Receive thread only: the stamp of the last frame and what it was counted under.
    bool m_bHaveStamp = false;
    std::uint32_t m_nLastStamp = 0;
    unsigned m_nStampSerial = 0;
    std::uint64_t m_nDropsSinceFrame = 0;  // lost already, and so not counted again by time
};
