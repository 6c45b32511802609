// Starting and stopping a camera's stream, and handing its frames to Python.
#include "python/src/FrameStream.h"

#include <cstdio>
#include <span>

#include "python/src/CameraSession.h"
#include "python/src/Errors.h"

namespace kxpy {
namespace {

using Status = kestrix::session::FrameStream::Status;

std::string Seconds(std::chrono::nanoseconds span) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", std::chrono::duration<double>(span).count());
    return text;
}

}  // namespace

FrameStream::FrameStream(std::shared_ptr<CameraSession> session, int buffers)
    : m_pSession(std::move(session)) {
    kestrix::session::StreamConfig config = m_pSession->Config();
    config.ring = kestrix::session::RingSize::Frames(buffers);
    session::Camera& camera = m_pSession->Camera();
    Check(camera.Configure(config));
    Check(camera.Start(m_pStream));
    m_pFormat = FrameFormat::Of(config.mode, m_pStream->SlotBytes());
    // Frames handed out and dropped soon come back; a ring's worth covers a steady reader.
    m_pPool = std::make_shared<FramePool>(m_pFormat->slotBytes, std::size_t(buffers));
}

FrameStream::~FrameStream() { Close(); }

std::shared_ptr<kestrix::session::FrameStream> FrameStream::Stream() const {
    std::scoped_lock lock(m_streamLock);
    return m_pStream;
}

kestrix::session::StreamCounters FrameStream::Counters() const {
    std::scoped_lock lock(m_streamLock);
    return m_pStream ? m_pStream->Counters() : m_closedCounters;
}

void FrameStream::Close() {
    std::scoped_lock lock(m_closeLock);
    if (m_bClosed.exchange(true)) return;
    const auto stream = Stream();
    stream->Interrupt(true);
    try {
        session::Camera& camera = m_pSession->Camera();
        if (camera.GetState() == session::Camera::State::Streaming) camera.Stop();
    } catch (const Error&) {
        // The camera is closed, and its capture with it.
    }
    std::scoped_lock streamLock(m_streamLock);
    m_closedCounters = stream->Counters();
    m_closedReason = stream->EndReason();
    m_pStream.reset();
}

std::shared_ptr<kestrix::session::FrameStream> FrameStream::Recorded(bool on) {
    if (!on) {
        m_bRecorded = false;
        return nullptr;
    }
    auto stream = Stream();
    if (!stream) throw Error("the stream is closed");
    if (m_bRecorded.exchange(true)) throw Error("the stream is being recorded already");
    return stream;
}

std::shared_ptr<FrameData> FrameStream::Next(std::chrono::nanoseconds timeout, bool newest) {
    if (m_bRecorded) throw Error("the stream's frames go into its recording: stop it first");
    auto frame = std::make_shared<FrameData>(m_pPool, m_pFormat);
    kestrix::session::FrameMetadata meta;
    const std::span<std::uint8_t> into(frame->Data(), m_pPool->Bytes());
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(timeout);
    const auto stream = Stream();
    const Status status = !stream ? Status::Interrupted
                          : newest ? stream->Newest(into, meta, wait)
                                   : stream->Next(into, meta, wait);
    switch (status) {
        case Status::Frame:
            frame->SetMeta(meta);
            return frame;
        case Status::Timeout:
            throw Timeout("no frame came from the camera within " + Seconds(timeout));
        case Status::Ended:
        case Status::Interrupted:
        case Status::NoSpare:
            break;
    }
    // A stream that ended with an error says so again on every later call.
    Close();
    std::scoped_lock lock(m_streamLock);
    Check(m_closedReason);
    return nullptr;
}

}  // namespace kxpy
