// The display pipeline: display thread, hand-over to the window's thread and the view rate.
#include "app/DisplayPipeline.h"

#include <chrono>

#include "camera/C1394Dcam.h"

DisplayPipeline::DisplayPipeline(C1394Dcam& camera, ViewRateMeter::TickSource ticks,
                                 QObject* parent)
    : QObject(parent),
      m_camera(camera),
      m_rateMeter(ticks ? ViewRateMeter(std::move(ticks)) : ViewRateMeter()) {}

DisplayPipeline::~DisplayPipeline() { Stop(); }

void DisplayPipeline::ResetState() {
    m_nCurrentIndex = -1;
    m_fViewRate = -1.0f;
}

void DisplayPipeline::Start(int colorCoding, int width, int height, std::size_t frameBytes,
                            int camera) {
    m_nCamera = camera;
    m_nColorCoding = colorCoding;
    // Read here, on the thread that owns the camera's registers.
    m_bayer =
        colorCoding == FrameConverter::Raw8 ? m_camera.GetBayerPattern(camera) : BayerPattern::None;
    m_display.Allocate(width, height);
    m_FrameBuffer.assign(frameBytes, 0);
    m_nShown = 0;
    m_bDisplayRun = true;
    m_displayThread =
        std::thread(&DisplayPipeline::DisplayLoop, this, camera, colorCoding, frameBytes);
}

void DisplayPipeline::Stop() {
    m_bDisplayRun = false;
    if (m_displayThread.joinable()) m_displayThread.join();
}

void DisplayPipeline::Free() {
    Stop();
    m_display.Free();
    m_FrameBuffer = {};
    m_Band = {};
}

void DisplayPipeline::DisplayLoop(int camera, int colorCoding, std::size_t frameBytes) {
    std::vector<std::uint8_t> frame(frameBytes);
    std::vector<std::uint8_t> band;
    while (m_bDisplayRun) {
        if (m_camera.WaitForFrame(camera, 100) < 0) continue;
        const int slot = m_camera.GetFrame(camera, frame.data(), -1);
        if (slot < 0) {
            // The capture went (a device change): nothing to wait on until Release stops us.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        DisplayHandOver::ConvertFrame(m_camera.GetConverter(), colorCoding, frame.data(),
                                      m_display.Back(), band, m_bayer);
        Observe(m_display.Back(), frame);
        if (m_display.Publish(slot))
            QMetaObject::invokeMethod(this, &DisplayPipeline::OnFramePublished,
                                      Qt::QueuedConnection);
    }
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
    m_camera.GetFrame(m_nCamera, m_FrameBuffer.data(), slot);
    // A frame the display thread still publishes must not replace the slot asked for.
    m_display.DropPending();
    DisplayHandOver::ConvertFrame(m_camera.GetConverter(), m_nColorCoding, m_FrameBuffer.data(),
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
