// The camera's AVI writer: the stream format chosen by the IIDC colour coding (or 24-bit
// converted frames), frame appending for a recording, and a file kept readable while it grows.
//
// Once the first frame is in, the headers and indexes go to disk provisionally after that frame,
// after the first frame of every new RIFF part, and whenever a second has passed, so that a
// recording cut short by a crash reads back up to the frames they count. Finish writes the same
// places with the final values: the finished file does not depend on when refreshes happened.
// A file in which no frame was written stays empty.
//
// Threading: one thread (the recording's writer) calls everything except GetFrameCount and
// GetDropped, which any thread may call meanwhile.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <span>

#include "files/CAviFile.h"
#include "files/RawFourCC.h"

namespace files {

class CDcamAviFile : public CAviFile {
public:
    enum class WriteResult {
        Written,    // the frame is in the file
        IndexFull,  // the index has no room for another frame: the recording is complete
        Failed,     // a write failed (GetErrorText says why) or no file is ready: recording over
        BadFrame,   // shorter than GetFrameBytes(); nothing written
    };
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    static constexpr std::chrono::seconds kRefreshInterval{1};

    CDcamAviFile();
    ~CDcamAviFile() override;  // finishes a file still open

    // Microseconds per frame of an IIDC frame-rate index 0..6; 0 for any other index.
    static std::uint32_t MicrosecondsPerFrame(int rateIndex);
    // Microseconds per frame of a Format 7 mode: one packet per 125-microsecond bus cycle.
    static std::uint32_t MicrosecondsPerFormat7Frame(std::uint32_t packetsPerFrame);

    // Opens path for a new recording; SetFormat comes next. One object records any number of
    // files, one after the other.
    bool Open(const std::string& path) override;

    // Chooses the stream format: the camera's raw frames of colorCoding 0..6 or 9 (RAW8, as it
    // comes: a mosaic, tagged as 8-bit grey), or with convert
    // the 24-bit bottom-up bitmaps of the frame conversion (rows padded to 4 bytes) whatever the
    // coding. False with GetErrorText() set for a coding, size or period that cannot be recorded,
    // or once frames are being written to the open file. Raw frames carry the FourCC of the
    // style chosen; converted ones none.
    bool SetFormat(int colorCoding, int width, int height, std::uint32_t microsecondsPerFrame,
                   bool convert, RawFourCC fourcc = RawFourCC::Camera);
    // Bytes of one frame as WriteFrame takes it; 0 before SetFormat.
    std::uint32_t GetFrameBytes() const { return m_nFrameBytes; }

    // Appends the first GetFrameBytes() bytes of frame (a ring slot may be longer). After any
    // result but Written and BadFrame the recording is over: later calls change nothing, and
    // GetFrameCount() tells how many frames the file keeps. Does not allocate.
    WriteResult WriteFrame(std::span<const std::uint8_t> frame);
    // Writes the final headers and indexes (nothing when no frame was written) and closes the
    // file. After a failed write the file is still finished with the frames before the failure
    // and cut to their end, when the disk allows. True only when every write of the recording
    // succeeded; GetErrorText() says what failed.
    bool Finish();

    // Dropped-frame counting by the ring's 16-bit sequence numbers, 65535 to 0 being a normal
    // step. The first frame after RestartSequence (a start, or a restart after a pause, which
    // jumps to the newest frame) only sets the reference.
    void RestartSequence() { m_nLastSequence = -1; }
    // Notes the sequence number of the frame just written; returns the frames missed before it.
    std::uint32_t NoteSequence(std::uint16_t sequence);
    std::uint32_t GetDropped() const { return m_nDropped.load(std::memory_order_relaxed); }
    static std::uint32_t FramesMissing(std::uint16_t previous, std::uint16_t current);

    // The time source of the refresh interval (steady_clock by default).
    void SetClock(Clock clock) { m_clock = std::move(clock); }

private:
    bool Refuse(const std::string& text);
    WriteResult Fail(const std::string& text);
    bool RefreshDue(std::chrono::steady_clock::time_point now) const;

    std::uint32_t m_nFrameBytes = 0;
    bool m_bStarted = false;  // frames are going into the open file
    bool m_bFailed = false;
    bool m_bFull = false;
    Clock m_clock;
    std::chrono::steady_clock::time_point m_lastRefresh{};
    std::uint32_t m_nRiffsRefreshed = 0;
    int m_nLastSequence = -1;
    std::atomic<std::uint32_t> m_nDropped{0};
};

}  // namespace files
