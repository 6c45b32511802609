// The display pipeline: display thread, hand-over to the window's thread and the view rate.
#include "app/DisplayPipeline.h"

#include <algorithm>
#include <chrono>

using kestrix::session::FrameStream;

DisplayPipeline::DisplayPipeline(ViewRateMeter::TickSource ticks, QObject* parent)
    : QObject(parent),
      m_rateMeter(ticks ? ViewRateMeter(std::move(ticks)) : ViewRateMeter()) {}

DisplayPipeline::~DisplayPipeline() { Stop(); }

void DisplayPipeline::ResetState() {
    m_nCurrentIndex = -1;
    m_fViewRate = -1.0f;
}

void DisplayPipeline::Start(std::shared_ptr<FrameStream> stream, const FrameConverter& converter,
                            int colorCoding, int width, int height, std::size_t frameBytes,
                            BayerPattern bayer) {
    m_pStream = std::move(stream);
    m_pConverter = &converter;
    m_nColorCoding = colorCoding;
    m_bayer = colorCoding == FrameConverter::Raw8 ? bayer : BayerPattern::None;
    m_display.Allocate(width, height);
    // A slot may be larger than the frame (a Format 7 camera may pad its packets).
    const std::size_t bytes = std::max<std::size_t>(frameBytes, m_pStream->SlotBytes());
    m_FrameBuffer.assign(bytes, 0);
    m_nShown = 0;
    m_sentTimes.Reset();
    m_bDisplayRun = true;
    m_displayThread =
        std::thread(&DisplayPipeline::DisplayLoop, this, m_pStream, colorCoding, bytes);
}

void DisplayPipeline::Stop() {
    m_bDisplayRun = false;
    if (m_displayThread.joinable()) m_displayThread.join();
}

void DisplayPipeline::Free() {
    Stop();
    m_display.Free();
    m_pStream.reset();
    m_FrameBuffer = {};
    m_Band = {};
}

void DisplayPipeline::DisplayLoop(std::shared_ptr<FrameStream> stream, int colorCoding,
                                  std::size_t frameBytes) {
    std::vector<std::uint8_t> frame(frameBytes);
    std::vector<std::uint8_t> band;
    kestrix::session::FrameMetadata meta;
    while (m_bDisplayRun) {
        const FrameStream::Status status =
            stream->Newest(frame, meta, std::chrono::milliseconds(100));
        if (status == FrameStream::Status::Ended) {
            // The stream is over (a device change): nothing to wait on until Release stops us.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (status != FrameStream::Status::Frame) continue;
        m_sentTimes.Observe(meta);
        PublishFrame(colorCoding, frame, band, meta.slot);
    }
}

void DisplayPipeline::PublishFrame(int colorCoding, std::vector<std::uint8_t>& frame,
                                   std::vector<std::uint8_t>& band, int slot) {
    DisplayHandOver::ConvertFrame(*m_pConverter, colorCoding, frame.data(), m_display.Back(),
                                  band, m_bayer);
    Observe(m_display.Back(), frame);
    if (m_display.Publish(slot))
        QMetaObject::invokeMethod(this, &DisplayPipeline::OnFramePublished, Qt::QueuedConnection);
}

void DisplayPipeline::OnFramePublished() {
    int slot = -1;
    if (!m_bDisplayRun || !m_display.TakePending(slot)) return;
    const bool first = m_nCurrentIndex < 0;
    m_nCurrentIndex = slot;
    ++m_nShown;
    emit FrameShown(first);
}

void DisplayPipeline::ShowSlot(int slot) {
    m_nCurrentIndex = slot;
    FrameRing::SlotInfo info;
    if (!m_pStream || m_pConverter == nullptr) return;
    m_pStream->CopySlot(slot, m_FrameBuffer, info);
    // A frame the display thread still publishes must not replace the slot asked for.
    m_display.DropPending();
    DisplayHandOver::ConvertFrame(*m_pConverter, m_nColorCoding, m_FrameBuffer.data(),
                                  m_display.Front(), m_Band, m_bayer);
    ++m_nShown;
    Observe(m_display.Front(), m_FrameBuffer);
}

void DisplayPipeline::SetObserver(FrameObserver observer) {
    std::scoped_lock lock(m_observerLock);
    m_observer = std::move(observer);
}

void DisplayPipeline::Observe(const QImage& picture, std::span<const std::uint8_t> raw) {
    if (!m_bObserverArmed.exchange(false)) return;
    std::scoped_lock lock(m_observerLock);
    if (m_observer) m_observer(picture, raw);
}
