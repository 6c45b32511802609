// The display path's pieces: laying the bottom-up bitmap into the picture, whole-picture
// hand-over between threads, and the view-rate windows on an injected tick.
#include <QImage>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "app/DisplayHandOver.h"
#include "app/ViewRateMeter.h"

namespace {

TEST(DisplayHandOver, LaysTheBottomRowLastAndSwapsBlueAndRed) {
    // 7 x 3 (a run of four and a rest), bottom row first, blue-green-red.
    constexpr int kWidth = 7, kHeight = 3;
    std::vector<std::uint8_t> bitmap(kWidth * kHeight * 3);
    for (std::size_t i = 0; i < bitmap.size(); ++i) bitmap[i] = std::uint8_t(i * 37 + 11);
    QImage picture(kWidth, kHeight, QImage::Format_RGB32);
    DisplayHandOver::LayBitmap(bitmap.data(), picture);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const std::uint8_t* bgr = &bitmap[std::size_t(((kHeight - 1 - y) * kWidth + x) * 3)];
            EXPECT_EQ(picture.pixel(x, y), qRgb(bgr[2], bgr[1], bgr[0])) << x << "," << y;
        }
    }
}

TEST(DisplayHandOver, ConvertsAFrameBandByBandAsTheWholeBitmapShowsIt) {
    // Rows padded to whole words (22 x 3 = 66 bytes): YUV with a last band of 5 rows, and a
    // mosaic whose last row is alone after its bands and needs the row above for its colours.
    const struct {
        int coding, height;
        BayerPattern bayer;
    } cases[] = {{FrameConverter::Yuv422, 37, BayerPattern::None},
                 {FrameConverter::Raw8, 33, BayerPattern::Grbg}};
    constexpr int kWidth = 22;
    for (const auto& c : cases) {
        std::vector<std::uint8_t> raw(FrameConverter::FrameBytes(c.coding, kWidth, c.height));
        for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = std::uint8_t(i * 53 + 7);
        FrameConverter converter;
        std::vector<std::uint8_t> bitmap(FrameConverter::BitmapBytes(kWidth, c.height));
        ASSERT_TRUE(converter.ConvertToBitmap(c.coding, bitmap, raw, kWidth, c.height, c.bayer));
        QImage picture(kWidth, c.height, QImage::Format_RGB32);
        std::vector<std::uint8_t> band;
        ASSERT_TRUE(
            DisplayHandOver::ConvertFrame(converter, c.coding, raw.data(), picture, band, c.bayer));
        const int stride = FrameConverter::Stride(kWidth);
        for (int y = 0; y < c.height; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                const std::uint8_t* bgr = &bitmap[std::size_t((c.height - 1 - y) * stride + x * 3)];
                ASSERT_EQ(picture.pixel(x, y), qRgb(bgr[2], bgr[1], bgr[0]))
                    << c.coding << ": " << x << "," << y;
            }
        }
    }
}

// A writer fills every picture with one value per frame; the reader must never see a picture
// mixing two frames, nor an older frame after a newer one.
TEST(DisplayHandOver, ReaderOnlyEverSeesWholePicturesInOrder) {
    DisplayHandOver handOver;
    handOver.Allocate(64, 48);
    constexpr int kFrames = 3000;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int frame = 1; frame <= kFrames; ++frame) {
            handOver.Back().fill(QColor::fromRgb(QRgb(0xFF000000u | unsigned(frame))));
            handOver.Publish(frame % 20);
        }
        done = true;
    });
    int last = 0, taken = 0;
    for (bool finished = false; !finished;) {
        finished = done;  // read before the last take, so the final picture is taken too
        int slot = -1;
        if (!handOver.TakePending(slot)) continue;
        const QImage& front = handOver.Front();
        const unsigned value = front.pixel(0, 0) & 0xFFFFFFu;
        for (int y = 0; y < front.height(); ++y)
            for (int x = 0; x < front.width(); ++x)
                ASSERT_EQ(front.pixel(x, y) & 0xFFFFFFu, value) << "torn at " << x << "," << y;
        EXPECT_GT(int(value), last);
        EXPECT_EQ(slot, int(value) % 20);
        last = int(value);
        ++taken;
    }
    writer.join();
    EXPECT_EQ(last, kFrames);
    EXPECT_GT(taken, 0);
}

TEST(ViewRateMeter, CountsPaintsOverWindowsLongerThanASecondAcrossTheWrap) {
    std::uint32_t tick = 0xFFFFFE00u;  // the window spans the 32-bit wrap
    ViewRateMeter meter([&] { return tick; });
    float rate = -1.0f;
    meter.Step(rate);  // the first paint after Start opens the window
    EXPECT_EQ(rate, 0.0f);
    for (int i = 0; i < 20; ++i) {
        tick += 50;
        meter.Step(rate);
    }
    EXPECT_EQ(rate, 0.0f);  // exactly 1000 ms: the window stays open
    tick += 250;
    meter.Step(rate);  // 21 paints in 1250 ms
    EXPECT_FLOAT_EQ(rate, 21 * 1000.0f / 1250.0f);
    for (int i = 0; i < 10; ++i) {
        tick += 200;
        meter.Step(rate);
    }
    EXPECT_FLOAT_EQ(rate, 6 * 1000.0f / 1200.0f);  // the next window closed after 6 paints
    rate = -1.0f;                                  // Stop and Start begin again
    meter.Step(rate);
    EXPECT_EQ(rate, 0.0f);
    // A picture that stopped moving makes the rate stale, the next paint fresh again.
    tick += 1000;
    EXPECT_FALSE(meter.IsStale());
    tick += 1;
    EXPECT_TRUE(meter.IsStale());
    meter.Step(rate);
    EXPECT_FALSE(meter.IsStale());
}

}  // namespace
