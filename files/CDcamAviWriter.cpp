// The recorder's writer thread: ring slots in sequence order into the AVI file.
#include "files/CDcamAviWriter.h"

#include <new>
#include <span>

#include "files/BitmapGeometry.h"
#include "platform/Log.h"

namespace files {

CDcamAviWriter::CDcamAviWriter() = default;

CDcamAviWriter::~CDcamAviWriter() { Stop(); }

bool CDcamAviWriter::Open(const std::string& path, const Format& format,
                          std::shared_ptr<FrameRing> ring, const FrameConverter& converter) {
    if (m_bStopped || m_avi.IsOpen()) return Refuse("this recorder has been used already");
    const std::size_t rawBytes =
        FrameConverter::FrameBytes(format.colorCoding, format.width, format.height);
    if (!ring || rawBytes == 0 || ring->GetSlotSize() < rawBytes) {
        return Refuse("the capture does not hold frames of " + std::to_string(format.width) +
                      " x " + std::to_string(format.height) + " pixels in colour coding " +
                      std::to_string(format.colorCoding));
    }
    try {
        m_frame.assign(ring->GetSlotSize(), 0);
        // Row padding is never written by the conversion: it stays zero in every frame.
        m_bitmap.assign(format.convert ? BitmapBytes(format.width, format.height) : 0, 0);
    } catch (const std::bad_alloc&) {
        return Refuse("not enough memory for the recorder's frame buffers");
    }
    if (!m_avi.Open(path) || !m_avi.SetFormat(format.colorCoding, format.width, format.height,
                                              format.microsecondsPerFrame, format.convert,
                                              format.fourcc)) {
        NoteFailure();
        if (m_avi.IsOpen()) m_avi.Finish();
        return false;
    }
    m_format = format;
    m_pRing = std::move(ring);
    m_converter = converter;
    m_thread = platform::Thread([this] { Run(); }, platform::ThreadPriority::AboveNormal);
    if (!m_thread.Joinable()) {
        m_avi.Finish();
        return Refuse("the recorder's thread could not be started");
    }
    return true;
}

bool CDcamAviWriter::Start(std::uint32_t frameLimit) {
    if (!m_thread.Joinable() || m_bStopped || m_bFailed || m_bFull) return false;
    std::scoped_lock lock(m_recordingLock);
    m_nFrameTarget = frameLimit == 0 ? 0 : std::uint64_t{GetFrameCount()} + frameLimit;
    m_nStartSequence = m_pRing->GetNextSequence();
    m_nLimitSequence = -1;
    m_bRestart = true;
    m_bRecording = true;
    m_pRing->SetRecording(true);
    return true;
}

void CDcamAviWriter::Pause() { EndRecording(); }

void CDcamAviWriter::Stop() {
    if (m_bStopped) return;
    m_bStopped = true;
    if (m_pRing) m_nStopSequence = m_pRing->GetNextSequence();
    m_bQuit = true;
    m_frameReady.Set();
    m_thread.Join();
    EndRecording();
    if (m_avi.IsOpen() && !m_avi.Finish()) NoteFailure();
    // The camera object keeps a finished writer for its figures: it must not keep the ring, the
    // largest block a program holds, alive into the next connection, nor the frame buffers.
    {
        std::scoped_lock lock(m_recordingLock);
        m_pRing.reset();
    }
    m_frame = {};
    m_bitmap = {};
}

std::string CDcamAviWriter::GetErrorText() const {
    std::scoped_lock lock(m_errorLock);
    return m_errorText;
}

bool CDcamAviWriter::Refuse(const std::string& text) {
    KX_LOG(Files, Warn) << "recording: " << text;
    m_bFailed = true;
    std::scoped_lock lock(m_errorLock);
    m_errorText = text;
    return false;
}

void CDcamAviWriter::NoteFailure() {
    m_bFailed = true;
    std::scoped_lock lock(m_errorLock);
    m_errorText = m_avi.GetErrorText();
}

void CDcamAviWriter::EndRecording(bool keepNewStart) {
    std::scoped_lock lock(m_recordingLock);
    // A start the writer has not taken up yet belongs to the next recording: leave it running.
    if (keepNewStart && m_bRestart) return;
    if (m_pRing) m_pRing->SetRecording(false);
    m_bRecording = false;
}

void CDcamAviWriter::Run() {
    while (!m_bQuit) {
        m_frameReady.WaitFor(kPollInterval);
        if (m_bRecording) WriteNewFrames();
    }
    // The frames stored before the stop still go in.
    if (m_bRecording) WriteNewFrames();
}

void CDcamAviWriter::WriteNewFrames() {
    if (m_bRestart.exchange(false)) {
        m_nReadSlot = -1;
        m_nLastSequence = std::uint16_t(m_nStartSequence - 1);
        // Frames before the start are not missing from the recording.
        m_avi.RestartSequence();
        m_avi.NoteSequence(m_nLastSequence);
    }
    if (m_nReadSlot < 0 && !LocateStart()) return;
    const int slots = m_pRing->GetSlotCount();
    while (m_bRecording && !m_bRestart && slots > 0) {
        // A slot that holds no newer frame is the one the ring fills next: looked at before the
        // copy, which would otherwise copy a whole stale frame every time the writer caught up.
        if (std::int16_t(m_pRing->GetSequence(m_nReadSlot) - m_nLastSequence) <= 0) return;
        int copied = -1;
        std::uint16_t sequence = 0;
        if (!m_pRing->Copy(m_frame.data(), m_frame.size(), m_nReadSlot, &copied, &sequence)) return;
        // The ring may have moved on between the look and the copy.
        if (std::int16_t(sequence - m_nLastSequence) <= 0) return;
        if (m_bQuit && std::int16_t(sequence - m_nStopSequence) >= 0) return;
        if (!WriteFrame(sequence)) return;
        m_nReadSlot = (copied + 1) % slots;
    }
}

bool CDcamAviWriter::LocateStart() {
    const int newest = m_pRing->NewestSlot();
    const int slots = m_pRing->GetSlotCount();
    if (newest < 0 || slots <= 0) return false;
    const auto first = std::uint16_t(m_nLastSequence + 1);
    const int behind = std::int16_t(m_pRing->GetSequence(newest) - first);
    if (behind < 0) return false;
    m_nReadSlot = behind < slots ? (newest - behind + slots) % slots : (newest + 1) % slots;
    return true;
}

bool CDcamAviWriter::WriteFrame(std::uint16_t sequence) {
    std::span<const std::uint8_t> data(m_frame);
    if (m_format.convert) {
        if (!m_converter.ConvertToBitmap(m_format.colorCoding, m_bitmap, data, m_format.width,
                                         m_format.height, m_format.bayer)) {
            Refuse("a frame could not be converted");
            EndRecording();
            return false;
        }
        data = m_bitmap;
    }
    switch (m_avi.WriteFrame(data)) {
        case CDcamAviFile::WriteResult::Written:
            break;
        case CDcamAviFile::WriteResult::IndexFull: {
            m_bFull = true;
            KX_LOG(Files, Warn) << "recording ended: the AVI index is full";
            EndRecording();
            std::scoped_lock lock(m_errorLock);
            m_errorText = "the file takes no more frames: its index is full";
            return false;
        }
        default:
            NoteFailure();
            EndRecording();
            return false;
    }
    m_avi.NoteSequence(sequence);
    m_nLastSequence = sequence;
    const std::uint64_t target = m_nFrameTarget;
    if (target != 0 && GetFrameCount() >= target) {
        m_nLimitSequence = sequence;
        EndRecording(true);
        return false;
    }
    return true;
}

}  // namespace files
