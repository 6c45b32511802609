// The AVI recorder of one capture: a writer thread that copies every frame the capture's ring
// stores while recording into a CDcamAviFile, raw or converted to 24 bits, and counts the frames
// the ring lost before they could be copied by their 16-bit sequence numbers.
//
// The writer follows sequence numbers, not slot positions: a slot whose frame is not newer than
// the last one written means it has caught up with the ring, so a frame is never written twice or
// out of order, and a ring that lapped the writer shows as dropped frames.
//
// Threading: the owner (the camera object's thread) opens, starts, pauses and stops; the writer
// thread writes; the receive thread only signals FrameReady(). The figures may be read from any
// thread at any time. One object records one file.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "camera/FrameConverter.h"
#include "camera/FrameRing.h"
#include "camera/FrameSink.h"
#include "files/CDcamAviFile.h"
#include "platform/Event.h"
#include "platform/Thread.h"

namespace files {

class CDcamAviWriter : public FrameSink {
public:
    // The frames the ring holds, and whether the file takes them converted.
    struct Format {
        int colorCoding = 0;  // IIDC colour coding of the ring's frames, 0..6 or 9 (RAW8)
        int width = 0;
        int height = 0;
        std::uint32_t microsecondsPerFrame = 0;
        bool convert = false;
        RawFourCC fourcc = RawFourCC::Camera;  // of raw frames
        BayerPattern bayer = BayerPattern::None;  // RAW8: how converted frames are demosaiced
    };
    // The writer also looks at the ring this often, so a missed signal delays a frame, no more.
    static constexpr std::chrono::milliseconds kPollInterval{100};

    CDcamAviWriter();
    ~CDcamAviWriter() override;  // stops

    // Creates path for the frames of ring, makes the frame buffers and starts the writer thread,
    // paused. The converter is copied, so the recording keeps the colour tables it began with.
    // False, with GetErrorText() saying why, when the format does not describe the ring's slots
    // (checked before the file is touched), the file cannot be made or the thread not started.
    bool Open(const std::string& path, const Format& format, std::shared_ptr<FrameRing> ring,
              const FrameConverter& converter);
    // Records from the next frame the ring stores on (a restart after a pause jumps ahead the
    // same way); with frameLimit, pauses by itself once that many more frames are written. False
    // when the file can take no frames: not open, stopped, failed or full.
    bool Start(std::uint32_t frameLimit = 0);
    void Pause();
    bool IsRecording() const { return m_bRecording; }

    platform::Event& FrameReady() override { return m_frameReady; }
    // Writes the frames stored before the call that are still in the ring, stops the thread and
    // finishes the file. Only the first call does anything.
    void Stop() override;

    std::uint32_t GetFrameCount() const { return m_avi.GetFrameCount(); }
    std::uint32_t GetDropped() const { return m_avi.GetDropped(); }
    // The ring's sequence number of the frame that reached the start's frameLimit, -1 until one
    // has. Frames the ring lost before the writer copied them move it past start + limit - 1.
    int GetLimitSequence() const { return m_nLimitSequence; }
    // The file's index has no room left: the recording ended by itself, the file is sound.
    bool IsFull() const { return m_bFull; }
    // False once opening, a write or finishing failed.
    bool Succeeded() const { return !m_bFailed; }
    // Why the recording failed or ended by itself; empty while neither happened.
    std::string GetErrorText() const;

private:
    bool Refuse(const std::string& text);
    void Run();
    // Writes the frames stored since the last one written, in order, until caught up.
    void WriteNewFrames();
    // The slot to read first after a start: the one holding the start frame, or the oldest
    // frame held when the ring has lapped it; false while the start frame has not come.
    bool LocateStart();
    bool WriteFrame(std::uint16_t sequence);
    // Recording off; keepNewStart leaves a start the writer has not taken up yet in force.
    void EndRecording(bool keepNewStart = false);
    void NoteFailure();

    CDcamAviFile m_avi;  // the writer thread's while it runs, the owner's before and after
    Format m_format;
    std::shared_ptr<FrameRing> m_pRing;
    FrameConverter m_converter;
    std::vector<std::uint8_t> m_frame;   // one ring slot
    std::vector<std::uint8_t> m_bitmap;  // one converted frame, when converting

    // Writer thread only.
    int m_nReadSlot = -1;  // -1: find the start frame first
    std::uint16_t m_nLastSequence = 0;

    platform::Event m_frameReady{platform::EventMode::AutoReset};
    std::atomic<bool> m_bRecording{false};
    std::atomic<bool> m_bRestart{false};  // a start the writer has not taken up yet
    std::atomic<std::uint16_t> m_nStartSequence{0};
    std::atomic<std::uint64_t> m_nFrameTarget{0};  // pause at this frame count; 0: never
    std::atomic<int> m_nLimitSequence{-1};
    std::atomic<bool> m_bQuit{false};
    std::atomic<std::uint16_t> m_nStopSequence{0};  // the first frame stored after Stop began
    std::atomic<bool> m_bFull{false};
    std::atomic<bool> m_bFailed{false};
    bool m_bStopped = false;  // owner only

    mutable std::mutex m_errorLock;  // guards m_errorText
    std::mutex m_recordingLock;      // orders starts and ends of recording against each other
    std::string m_errorText;
    platform::Thread m_thread;
};

}  // namespace files
