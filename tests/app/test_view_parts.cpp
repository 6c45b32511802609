// The View menu's pieces without a camera: zoom arithmetic, pixel values in every coding, the
// histogram of a known picture, snapshot names and formats.
#include <QDir>
#include <QImageReader>

#include <gtest/gtest.h>

#include <vector>

#include "app/Histogram.h"
#include "app/PixelProbe.h"
#include "app/SnapshotWriter.h"
#include "app/ViewZoom.h"
#include "tests/support/TempDir.h"

namespace {

TEST(ViewZoom, StepsStayWithinAnEighthAndEightAndFitShowsTheWholeImage) {
    ViewZoom zoom;
    int steps = 0;
    while (zoom.CanZoomIn()) zoom.ZoomIn(), ++steps;
    EXPECT_EQ(zoom.Scale(), 8.0);
    EXPECT_EQ(zoom.Zoomed({1360, 1024}), QSize(10880, 8192));
    while (zoom.CanZoomOut()) zoom.ZoomOut(), ++steps;
    EXPECT_EQ(zoom.Scale(), 1.0 / 8);
    EXPECT_EQ(steps, 6 + 12);  // up from 1:1, then all the way down
    EXPECT_EQ(zoom.Zoomed({1360, 1024}), QSize(170, 128));

    // 1360 x 1024 into 800 x 600: the height limits (600 / 1024), nothing is cut off.
    zoom.Fit({800, 600}, {1360, 1024});
    EXPECT_TRUE(zoom.Fitting());
    EXPECT_EQ(zoom.Zoomed({1360, 1024}), QSize(796, 600));
    // The last window pixel is the image's last pixel, not one past it.
    EXPECT_EQ(zoom.ToImage({795, 599}, {0, 0}, {1360, 1024}), QPoint(1359, 1023));
    EXPECT_EQ(zoom.ToImage({0, 0}, {0, 0}, {1360, 1024}), QPoint(0, 0));
    // From a fitted scale (0.586) one step up is 2/3 and fitting ends.
    zoom.ZoomIn();
    EXPECT_FALSE(zoom.Fitting());
    EXPECT_DOUBLE_EQ(zoom.Scale(), 2.0 / 3);
    // Scrolled at 2x: window point (10, 20) with the origin at (100, 50) is image (55, 35).
    zoom.SetScale(2.0);
    EXPECT_EQ(zoom.ToImage({10, 20}, {100, 50}, {640, 480}), QPoint(55, 35));
    EXPECT_EQ(zoom.ScrollFor({55, 35}, {10, 20}, {640, 480}), QPoint(100, 50));
}

TEST(PixelProbe, ReadsTheCamerasSamplesWhereThePictureHoldsLess) {
    QImage picture(3, 2, QImage::Format_RGB32);
    picture.fill(qRgb(1, 2, 3));
    picture.setPixel(2, 1, qRgb(200, 180, 20));
    EXPECT_EQ(PixelProbe::Text(picture, 4, {}, {2, 1}), "X 0002 Y 0001  R 200 G 180 B 020");
    EXPECT_EQ(PixelProbe::Text(picture, 2, {}, {0, 0}), "X 0000 Y 0000  R 001 G 002 B 003");
    EXPECT_EQ(PixelProbe::Text(picture, 4, {}, {3, 0}), "");  // off the picture
    // Mono 16 and RGB 16 are big-endian; the last pixel is read, not one past it.
    std::vector<std::uint8_t> mono16(3 * 2 * 2, 0);
    mono16[10] = 0x0B, mono16[11] = 0xC4;  // 3012
    EXPECT_EQ(PixelProbe::Text(picture, 5, mono16, {2, 1}), "X 0002 Y 0001  Y 3012");
    EXPECT_EQ(PixelProbe::Text(picture, 5, std::span(mono16).first(10), {2, 1}), "");
    std::vector<std::uint8_t> mono8{0, 1, 2, 3, 4, 255};
    EXPECT_EQ(PixelProbe::Text(picture, 0, mono8, {2, 1}), "X 0002 Y 0001  Y 255");
    // RAW8: the sample and the colour its filter passes (GRBG: second row B G B), grey without.
    EXPECT_EQ(PixelProbe::Text(picture, 9, mono8, {1, 1}, BayerPattern::Grbg),
              "X 0001 Y 0001  G 004");
    EXPECT_EQ(PixelProbe::Text(picture, 9, mono8, {2, 1}, BayerPattern::Grbg),
              "X 0002 Y 0001  B 255");
    EXPECT_EQ(PixelProbe::Text(picture, 9, mono8, {2, 1}), "X 0002 Y 0001  Y 255");
    std::vector<std::uint8_t> rgb16(3 * 2 * 6, 0);
    rgb16[30] = 0xFF, rgb16[31] = 0xFF, rgb16[33] = 1, rgb16[35] = 2;
    EXPECT_EQ(PixelProbe::Text(picture, 6, rgb16, {2, 1}),
              "X 0002 Y 0001  R 65535 G 00001 B 00002");
}

TEST(Histogram, CountsAKnownPictureAndItsClippedPixels) {
    // 10 x 10: 50 black, 30 pure red, 20 white.
    QImage picture(10, 10, QImage::Format_RGB32);
    for (int i = 0; i < 100; ++i)
        picture.setPixel(i % 10, i / 10,
                         i < 50   ? qRgb(0, 0, 0)
                         : i < 80 ? qRgb(255, 0, 0)
                                  : qRgb(255, 255, 255));
    const Histogram h = Histogram::Count(picture, 4, {}, true);
    EXPECT_EQ(h.Pixels(), 100u);
    EXPECT_EQ(h.Bins(Histogram::Red)[255], 50u);
    EXPECT_EQ(h.Bins(Histogram::Green)[0], 80u);
    EXPECT_EQ(h.Bins(Histogram::Luminance)[255], 20u);  // white stays white
    EXPECT_EQ(h.Bins(Histogram::Luminance)[77], 30u);   // red's weight
    EXPECT_EQ(h.Low(Histogram::Blue), 80u);
    EXPECT_EQ(h.High(Histogram::Red), 50u);
    EXPECT_FALSE(h.Mono());
    // The overlay marks every pixel with a channel at its top: red and white ones.
    int marked = 0;
    for (int i = 0; i < 100; ++i) marked += qAlpha(h.Overexposed().pixel(i % 10, i / 10)) != 0;
    EXPECT_EQ(marked, 50);

    // Mono 16 over its whole range: 0, 255, 256, 65535 fall in bins 0, 0, 1, 255.
    const std::vector<std::uint8_t> raw{0x00, 0x00, 0x00, 0xFF, 0x01, 0x00, 0xFF, 0xFF};
    const Histogram deep = Histogram::Count(QImage(2, 2, QImage::Format_RGB32), 5, raw, false);
    EXPECT_TRUE(deep.Mono());
    EXPECT_EQ(deep.Bins(Histogram::Luminance)[0], 2u);
    EXPECT_EQ(deep.Bins(Histogram::Luminance)[1], 1u);
    EXPECT_EQ(deep.Low(Histogram::Luminance), 1u);  // only the true 0 is clipped
    EXPECT_EQ(deep.High(Histogram::Luminance), 1u);
    EXPECT_TRUE(deep.Overexposed().isNull());
}

TEST(SnapshotWriter, NamesByTimeMakesTheFolderAndNeverOverwrites) {
    const QDateTime when(QDate(2026, 12, 9), QTime(10, 15, 2, 123));
    EXPECT_EQ(SnapshotWriter::FileName(when, SnapshotWriter::Format::Png),
              "kestrix-20261209-101502-123.png");
    testsupport::TempDir dir("kestrix-snapshot");
    const QString folder = QString::fromStdString(dir.Path().string()) + "/new/KestrixView";
    QImage picture(4, 3, QImage::Format_RGB32);
    picture.fill(qRgb(10, 20, 30));
    QString first, second, error;
    ASSERT_TRUE(
        SnapshotWriter::Write(picture, {}, SnapshotWriter::Format::Png, folder, when, first, error))
        << error.toStdString();
    ASSERT_TRUE(SnapshotWriter::Write(picture, {}, SnapshotWriter::Format::Png, folder, when,
                                      second, error));
    EXPECT_TRUE(first.endsWith("/new/KestrixView/kestrix-20261209-101502-123.png"));
    EXPECT_TRUE(second.endsWith("/kestrix-20261209-101502-123-2.png"));
    // A folder that cannot be made is an error, not a silent loss.
    EXPECT_FALSE(SnapshotWriter::Write(picture, {}, SnapshotWriter::Format::Png,
                                       first + "/below-a-file", when, first, error));
    EXPECT_FALSE(error.isEmpty());
}

}  // namespace
