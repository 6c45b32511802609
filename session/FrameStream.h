// One camera's running stream as its readers see it: every frame in order (Next), the newest one
// (Newest, for a display), or a frame lent in place (Lend), each with its FrameMetadata; the
// StreamCounters; and the one rule by which a stream ends.
//
// A stream ends, and stays ended, when the devices on the bus change (Unplugged), when a bus
// reset or failed reads are not followed within a second by a device change that would name an
// unplug (BusReset, Failed), when the capture is gone, when the bus driver stops answering for
// a while (DriverGone), or when its camera stops it (Stop, no error).
//
// Threading: Next, Newest and Lend from one reader thread at a time; Interrupt, Counters,
// Watch, Ended, EndReason, CopySlot and MapSentTime from any thread. The ring is thread-safe
// and held by shared_ptr, so the stream stays readable whatever the capture does.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

#include "camera/FrameRing.h"
#include "platform/CycleTimerReading.h"
#include "session/CycleTimeMapper.h"
#include "session/Error.h"
#include "session/FrameMetadata.h"
#include "session/LentFrame.h"
#include "session/StreamCounters.h"

namespace kestrix::session {

class FrameStream {
public:
    // What a stream hears of the bus: the notices counted so far, and whether the driver still
    // answers a register read. Empty functions hear nothing (a ring read on its own).
    struct Bus {
        std::function<std::uint64_t()> busResets;
        std::function<std::uint64_t()> deviceChanges;
        std::function<bool()> driverAnswers;
        // Whether the readers' threads may ask the driver themselves; when not, only Watch,
        // called on the camera object's owner thread, does.
        bool readersProbe = false;
        // The bus's cycle timer with the host's clocks beside it, asked on the same terms as
        // driverAnswers; empty when the driver does not answer. Without it no frame is mapped.
        std::function<std::optional<platform::CycleTimerReading>()> cycleTimer;
    };
    enum class Status { Frame, Timeout, Interrupted, NoSpare, Ended };
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kForever{-1};
    // How long failed reads or a reset wait for the device-change notice of an unplug.
    static constexpr std::chrono::milliseconds kNoticeGrace{1000};
    // How long no frame may come before the driver is asked whether it still answers.
    static constexpr std::chrono::milliseconds kSilenceProbe{1000};
    // How often the cycle timer is read to map the frames' cycle stamps onto the host's clocks.
    static constexpr std::chrono::milliseconds kCycleTimerRefresh{1000};

    // A stream of the frames stored in ring from now on; frameBytes is the mode's frame size
    // (a slot may be larger).
    FrameStream(std::shared_ptr<FrameRing> ring, std::uint32_t frameBytes, Bus bus);
    FrameStream(std::shared_ptr<FrameRing> ring, std::uint32_t frameBytes);
    FrameStream(const FrameStream&) = delete;
    FrameStream& operator=(const FrameStream&) = delete;

    // The next frame in order, copied into dst (at least SlotBytes() long). Frames the ring
    // overwrote before the reader came to them are skipped and counted dropped. Waits up to
    // timeout (kForever: without limit) for a frame, an Interrupt or the stream's end.
    Status Next(std::span<std::uint8_t> dst, FrameMetadata& meta,
                std::chrono::milliseconds timeout = kForever);
    // The newest frame not yet read, skipping the others.
    Status Newest(std::span<std::uint8_t> dst, FrameMetadata& meta,
                  std::chrono::milliseconds timeout = kForever);
    // As Next, but lends the frame in place. NoSpare while every spare buffer is lent: the frame
    // stays for Next to copy.
    Status Lend(std::unique_ptr<LentFrame>& lent, FrameMetadata& meta,
                std::chrono::milliseconds timeout = kForever);
    // Copies ring slot `slot` (negative: the newest) as it stands, for stepping through the
    // frames a stopped stream holds; false while the ring holds no frame. Counts nothing.
    bool CopySlot(int slot, std::span<std::uint8_t> dst, FrameRing::SlotInfo& info) const;
    // Fills the frame's sent times from its cycle stamp and arrival as Next does (for a slot's
    // copy, which carries neither); 0 while unmapped.
    void MapSentTime(FrameMetadata& meta) const;
    // Another reader of the same ring from now on, hearing the bus as this one does, with its
    // own place and counts: a recorder beside a display.
    std::shared_ptr<FrameStream> Reader() const {
        return std::make_shared<FrameStream>(m_pRing, m_nFrameBytes, m_bus);
    }
    // While on, the readers return Interrupted at once.
    void Interrupt(bool on);

    // Looks at the bus and the capture and ends the stream when the rule says so; the reason,
    // or no error while it runs. The readers call it; a front end calls it from its own loop on
    // the camera object's owner thread, since it may read a register.
    Error Watch() { return WatchFrom(true); }
    bool Ended() const { return m_bEnded; }
    // Why the stream ended; no error while it runs or after a Stop.
    Error EndReason() const;
    // The camera stopped the stream: the readers return Ended, with no error.
    void Stop();

    StreamCounters Counters() const;
    std::uint32_t SlotBytes() const { return m_nSlotBytes; }
    std::uint32_t FrameBytes() const { return m_nFrameBytes; }
    const std::shared_ptr<FrameRing>& Ring() const { return m_pRing; }

private:
    // What a taker did with the slot it was shown.
    enum class Took { Frame, Overwritten, Emptied, NoSpare };
    using TakeFn = std::function<Took(int slot, std::uint16_t sequence, FrameRing::SlotInfo&)>;
    Status Take(const TakeFn& take, FrameMetadata& meta, std::chrono::milliseconds timeout,
                bool newest);
    // Next or Newest: the frame copied into dst.
    Status Copy(std::span<std::uint8_t> dst, FrameMetadata& meta,
                std::chrono::milliseconds timeout, bool newest);
    Error WatchFrom(bool mayProbe);
    void End(Error reason);
    // Whether the notices or the reads say the stream is over, once the grace has passed.
    bool NoticesEnd(const FrameRing::Stats& stats, Clock::time_point now, bool mayProbe);
    bool DriverSilent(const FrameRing::Stats& stats, Clock::time_point now, bool mayProbe);
    // Takes a cycle timer reading when the last is kCycleTimerRefresh old and frames came
    // since (a driver that went silent is not kept waiting on).
    void ReadCycleTimer(Clock::time_point now, bool mayProbe, std::uint64_t stored);

    const std::shared_ptr<FrameRing> m_pRing;
    const Bus m_bus;
    const std::uint32_t m_nSlotBytes;
    const std::uint32_t m_nFrameBytes;
    // Where the ring and the bus stood when the stream began.
    const FrameRing::Stats m_start;
    const std::uint16_t m_nSequence0;
    const std::uint64_t m_nResets0;
    const std::uint64_t m_nChanges0;

    std::atomic<bool> m_bInterrupted{false};
    std::atomic<bool> m_bEnded{false};
    mutable std::mutex m_watchLock;  // guards the fields down to m_reason
    Clock::time_point m_troubleSeen{};  // first reset or failed read not yet explained
    Clock::time_point m_lastProgress;   // when a frame last came, or the driver last answered
    std::uint64_t m_nStoredSeen = 0;
    Error m_reason;
    mutable std::mutex m_mapLock;  // guards m_mapper and m_lastReading
    CycleTimeMapper m_mapper;
    Clock::time_point m_lastReading{};
    std::uint64_t m_nStoredAtReading = 0;

    // The reader's thread.
    std::uint64_t m_nNext = 0;           // index among stored frames of the next one to read
    std::uint64_t m_nLostAccounted = 0;  // lost frames already told in a frame's metadata
    std::atomic<std::uint64_t> m_nDelivered{0};
    std::atomic<std::uint64_t> m_nDropped{0};
};

}  // namespace kestrix::session
