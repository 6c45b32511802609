// One camera driven for kestrixsrc: found by index or GUID, claimed, its features set, connected
// in a mode, and its frames taken out of the capture's ring in order, each with its arrival time
// and the frames missing before it.
//
// Threading: Open, Start, Stop and Close come from the element's state changes; they run on the
// session's CameraOwnerThread, which owns the camera object and hears the bus notices. NextFrame is
// the streaming thread's; Interrupt and Counters may come from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "camera/C1394Dcam.h"
#include "camera/CameraLock.h"
#include "session/CameraOwnerThread.h"
#include "camera/FrameRing.h"
#include "gst/CameraOffer.h"
#include "gst/CaptureCounters.h"

using kestrix::session::CameraOwnerThread;

class CameraSession {
public:
    enum class Fault { None, NotFound, InUse, Settings, Failed, BusReset, Unplugged };
    struct Error {
        Fault fault = Fault::None;
        std::string message;
    };
    struct Which {
        int camera = 0;
        std::string guid;  // when set, chooses the camera instead of the index
    };
    struct FrameInfo {
        std::uint64_t offset = 0;   // the frame's number among the frames the camera sent
        std::int64_t arrival = 0;   // steady-clock nanoseconds
        std::uint64_t dropped = 0;  // frames before it overwritten in the ring before the copy
        std::uint64_t lost = 0;     // frames before it lost before the ring
    };
    // NoSpare: a frame is there, but every spare buffer is lent (see LendFrame).
    enum class Next { Frame, Interrupted, Failed, NoSpare };
    struct Figures {
        std::uint64_t frames = 0, dropped = 0, lost = 0, bytes = 0;
        std::uint64_t lent = 0;  // of the frames, those lent in place rather than copied
    };
    // A frame lent in place from the capture's ring, until ring->Return(loan). It holds the
    // ring, so it may outlive the stream.
    struct LentFrame {
        std::shared_ptr<FrameRing> ring;
        FrameRing::Loan loan;
    };

    CameraSession();
    ~CameraSession();  // closes
    CameraSession(const CameraSession&) = delete;
    CameraSession& operator=(const CameraSession&) = delete;

    // Opens the camera library, finds and claims the camera, applies the settings (--set
    // syntax) and reads what the camera offers.
    bool Open(const Which& which, const std::vector<std::string>& settings, Error& error);
    const std::vector<ModeOffer>& Offers() const { return m_offers; }
    const CameraIdentity& Identity() const { return m_identity; }

    // Sets the mode (rateIndex for a fixed mode, region for Format 7), starts the capture into a
    // ring of ringSlots with lendSlots spare buffers for lending, and the camera's transmission.
    bool Start(const ModeOffer& offer, int rateIndex, const Format7Region& region, int ringSlots,
               int lendSlots, Error& error);
    std::uint32_t SlotBytes() const { return m_nSlotBytes; }
    std::uint32_t FrameBytes() const { return m_nFrameBytes; }
    // Copies the next frame in order into dst (SlotBytes() long). Waits until one is there, an
    // Interrupt, or a failure that ends the stream (a bus reset, an unplug, failed reads).
    Next NextFrame(std::span<std::uint8_t> dst, FrameInfo& info, Error& error);
    // As NextFrame, but lends the frame in place. NoSpare while every spare is lent: the frame
    // stays for NextFrame to copy.
    Next LendFrame(LentFrame& lent, FrameInfo& info, Error& error);
    // While on, NextFrame returns Interrupted at once.
    void Interrupt(bool on);
    Figures GetFigures() const;
    void Stop();
    void Close();

private:
    bool OpenOnThread(const Which& which, const std::vector<std::string>& settings, Error& error);
    bool FindCamera(const Which& which, Error& error);
    bool StartOnThread(const ModeOffer& offer, int rateIndex, const Format7Region& region,
                       int ringSlots, int lendSlots, Error& error);
    // What Take's callback did with the frame it was shown.
    enum class Took { Frame, Overwritten, Emptied, NoSpare };
    // Waits for the next frame in order and hands take(ring, slot, sequence, info) its slot.
    template <typename TakeFn>
    Next Take(TakeFn take, FrameInfo& info, Error& error);
    void StopOnThread();
    void CloseOnThread();
    // The stream's end, once a failure or notice says so.
    bool Ended(const CaptureCounters& now, Error& error);
    std::shared_ptr<FrameRing> Ring() const;

    // The notices heard since the stream started.
    bool BusReset() const;
    bool DeviceChanged() const;

    std::unique_ptr<CameraOwnerThread> m_pThread;
    // m_pThread's from Open to Close.
    C1394Dcam* m_pCam = nullptr;
    CameraLock m_claim;
    bool m_bCapturing = false;
    std::vector<ModeOffer> m_offers;
    CameraIdentity m_identity;

    mutable std::mutex m_ringLock;  // guards m_pRing
    std::shared_ptr<FrameRing> m_pRing;
    std::atomic<std::uint32_t> m_nSlotBytes{0};
    std::atomic<std::uint32_t> m_nFrameBytes{0};
    std::atomic<bool> m_bInterrupted{false};
    std::atomic<std::uint64_t> m_nBusResetsAtStart{0};
    std::atomic<std::uint64_t> m_nDeviceChangesAtStart{0};

    // The streaming thread's.
    std::uint64_t m_nNextIndex = 0;  // of the next frame wanted among those stored
    CaptureCounters m_atStart;
    std::chrono::steady_clock::time_point m_failureSeen{};

    std::atomic<std::uint64_t> m_nFrames{0};
    std::atomic<std::uint64_t> m_nDropped{0};
    std::atomic<std::uint64_t> m_nLost{0};
    std::atomic<std::uint64_t> m_nBytes{0};
    std::atomic<std::uint64_t> m_nLent{0};
};
