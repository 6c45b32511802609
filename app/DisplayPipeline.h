// The display pipeline of one connection: a display thread that takes the newest frame of the
// stream, converts it for display and hands it to the window's thread as a whole picture
// (DisplayHandOver), the ring slot that picture holds, and the view rate. It paints nothing:
// whatever shows the picture reads Front() when FrameShown arrives and counts its paints with
// CountPaint, so another display (zoomed, another widget) can sit on the same pipeline.
//
// Threading: all members on the window's thread, except the display thread (DisplayLoop), which
// touches only m_bDisplayRun, the stream's reader and the back side of m_display.
#pragma once

#include <QImage>
#include <QObject>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "app/DisplayHandOver.h"
#include "app/SentTimeMeter.h"
#include "app/ViewRateMeter.h"
#include "camera/FrameConverter.h"
#include "session/FrameStream.h"

class DisplayPipeline : public QObject {
    Q_OBJECT
public:
    // Looks at a converted picture and its raw frame, on the display thread while streaming
    // (on the window's thread for ShowSlot); neither outlives the call.
    using FrameObserver =
        std::function<void(const QImage& picture, std::span<const std::uint8_t> raw)>;

    // ticks: the view-rate clock.
    explicit DisplayPipeline(ViewRateMeter::TickSource ticks = {}, QObject* parent = nullptr);
    ~DisplayPipeline() override;  // stops the display thread

    // Allocates the pictures of a stream and starts the display thread on it. converter: the
    // camera library's, which outlives the stream; bayer: the colour filter of a RAW8 stream.
    void Start(std::shared_ptr<kestrix::session::FrameStream> stream,
               const FrameConverter& converter, int colorCoding, int width, int height,
               std::size_t frameBytes, BayerPattern bayer = BayerPattern::None);
    // Stops the display thread, waiting without limit; the pictures stay.
    void Stop();
    // Stops and frees the pictures.
    void Free();

    // Shows ring slot `slot` now, converted on this thread (stepping through a stopped ring).
    void ShowSlot(int slot);
    // The picture shown; null before the first one.
    const QImage& Front() { return m_display.Front(); }
    // The ring slot of the picture shown; -1 = none yet.
    const int& CurrentIndex() const { return m_nCurrentIndex; }
    // The colour filter of a RAW8 stream (None for any other coding), given to Start.
    BayerPattern Bayer() const { return m_bayer; }
    // Paints per second while streaming; negative = not measured.
    const float& ViewRate() const { return m_fViewRate; }

    // Forgets the slot shown and the rate, freeing nothing.
    void ResetState();
    // Starts the view-rate measurement afresh (Start, Stop).
    void RestartRate() { m_fViewRate = -1.0f; }
    // One picture painted while streaming.
    void CountPaint() { m_rateMeter.Step(m_fViewRate); }
    // Pictures taken as the front one since Start.
    std::uint64_t FramesShown() const { return m_nShown; }
    // The sent times of the frames the display took.
    SentTimeMeter& SentTimes() { return m_sentTimes; }

    // The observer the next converted picture goes to, once: arm it again for each picture
    // wanted, so it runs no more often than pictures are shown.
    void SetObserver(FrameObserver observer);
    void ArmObserver() { m_bObserverArmed = true; }
    // No picture was painted for more than a second.
    bool RateIsStale() const { return m_rateMeter.IsStale(); }

signals:
    // A new picture is the front one; first: the first of this connection.
    void FrameShown(bool first);

private:
    void DisplayLoop(std::shared_ptr<kestrix::session::FrameStream> stream, int colorCoding,
                     std::size_t frameBytes);
    void PublishFrame(int colorCoding, std::vector<std::uint8_t>& frame,
                      std::vector<std::uint8_t>& band, int slot);
    // Takes the picture the display thread published.
    void OnFramePublished();
    void Observe(const QImage& picture, std::span<const std::uint8_t> raw);

    const FrameConverter* m_pConverter = nullptr;  // set before the display thread starts
    DisplayHandOver m_display;
    // The window's, for ShowSlot; the display thread gets its own copy.
    std::shared_ptr<kestrix::session::FrameStream> m_pStream;
    int m_nColorCoding = 0;
    // Set in Start before the display thread starts, then only read (happens-before by the
    // thread's start).
    BayerPattern m_bayer = BayerPattern::None;
    int m_nCurrentIndex = -1;
    float m_fViewRate = -1.0f;
    // Raw frame and conversion band of the window's own conversions (ShowSlot).
    std::vector<std::uint8_t> m_FrameBuffer;
    std::vector<std::uint8_t> m_Band;
    std::thread m_displayThread;
    std::atomic<bool> m_bDisplayRun{false};
    ViewRateMeter m_rateMeter;
    std::uint64_t m_nShown = 0;
    std::mutex m_observerLock;  // guards m_observer
    FrameObserver m_observer;
    std::atomic<bool> m_bObserverArmed{false};
    SentTimeMeter m_sentTimes;
};
