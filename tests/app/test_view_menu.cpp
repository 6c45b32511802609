// The View menu on the simulated camera: zoom and scroll ranges, fit on resize, panning keys,
// pixel values at the picture's corners, statistics with a lost frame, snapshots while live,
// full screen.
#include <QDockWidget>
#include <QImageReader>
#include <QMenuBar>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStatusBar>

#include "app/PixelProbe.h"
#include "app/StatisticsDock.h"
#include "tests/app/ViewerTestSupport.h"

namespace viewertest {
namespace {

class ViewMenuTest : public ViewerTest {
protected:
    QSize Decoration() { return m_frame->size() - View().viewport()->size(); }
};

TEST_F(ViewMenuTest, ScrollRangesFollowTheZoomedSizeAtEveryStep) {
    ASSERT_TRUE(Connect());  // 640 x 480
    m_frame->resize(Decoration() + QSize(400, 300));
    CCameraView& v = View();
    while (v.IsCommandEnabled(cmd::kZoomOut)) PressKey(Qt::Key_Minus, Qt::ControlModifier);
    EXPECT_EQ(v.Zoom().Scale(), 1.0 / 8);
    for (;;) {
        const QSize shown = v.ShownSize();
        const QSize page = v.viewport()->size();
        EXPECT_EQ(v.horizontalScrollBar()->maximum(), std::max(shown.width() - page.width(), 0))
            << v.Zoom().Scale();
        EXPECT_EQ(v.verticalScrollBar()->maximum(), std::max(shown.height() - page.height(), 0));
        if (!v.IsCommandEnabled(cmd::kZoomIn)) break;
        PressKey(Qt::Key_Plus, Qt::ControlModifier | Qt::ShiftModifier);
    }
    EXPECT_EQ(v.ShownSize(), QSize(5120, 3840));
    m_frame->resize(Decoration() + QSize(400, 300));
    // End goes to the far corner, Home back; Ctrl+arrows pan a tenth of the page.
    PressKey(Qt::Key_End);
    EXPECT_EQ(QPoint(v.m_nHPos, v.m_nVPos), QPoint(5120 - 400, 3840 - 300));
    PressKey(Qt::Key_Home);
    PressKey(Qt::Key_Right, Qt::ControlModifier);
    PressKey(Qt::Key_PageDown);
    EXPECT_EQ(QPoint(v.m_nHPos, v.m_nVPos), QPoint(40, 300));
    // Plain arrows stay Start and Stop.
    PressKey(Qt::Key_Up);
    EXPECT_TRUE(v.m_bStreaming);
    PressKey(Qt::Key_Down);
    EXPECT_FALSE(v.m_bStreaming);
    EXPECT_EQ(QPoint(v.m_nHPos, v.m_nVPos), QPoint(40, 300));
    PressKey(Qt::Key_0, Qt::ControlModifier);
    EXPECT_EQ(v.ShownSize(), QSize(640, 480));
    EXPECT_EQ(v.horizontalScrollBar()->maximum(), 240);
}

TEST_F(ViewMenuTest, FitKeepsTheWholePictureInTheWindowAsItIsResized) {
    ASSERT_TRUE(Connect(1));  // 800 x 600
    PressKey(Qt::Key_F, Qt::ControlModifier);
    EXPECT_TRUE(m_frame->Action(cmd::kFitToWindow)->isChecked());
    EXPECT_FALSE(View().verticalScrollBar()->isVisible() || View().horizontalScrollBar()->isVisible());
    const QSize decoration = Decoration();
    for (const QSize area : {QSize(400, 400), QSize(700, 300), QSize(800, 600)}) {
        m_frame->resize(decoration + area);
        ASSERT_EQ(View().viewport()->size(), area);
        const QSize shown = View().ShownSize();
        // Whole, filling one side, without scroll bars.
        EXPECT_TRUE(shown.width() <= area.width() && shown.height() <= area.height()) << shown.width();
        EXPECT_TRUE(shown.width() == area.width() || shown.height() == area.height());
        EXPECT_EQ(View().m_nHPage + View().m_nVPage, 0);
    }
    PressKey(Qt::Key_0, Qt::ControlModifier);
    EXPECT_FALSE(View().Zoom().Fitting());
    EXPECT_TRUE(View().verticalScrollBar()->isVisible() && View().horizontalScrollBar()->isVisible());
}

TEST_F(ViewMenuTest, PixelValueAtThePicturesCornersInEachColourCoding) {
    m_frame->Action(cmd::kPixelValue)->trigger();
    EXPECT_TRUE(m_frame->Pane(4)->isVisibleTo(m_frame.get()));
    for (const int color : {0, 1}) {  // RGB, YUV 4:2:2 at 640 x 480
        ASSERT_TRUE(Connect(0, color));
        ASSERT_TRUE(StreamAndStop());
        View().RunCommand(cmd::kFitToWindow);
        m_frame->resize(Decoration() + QSize(320, 240));  // half size: two pixels to one
        const QImage& picture = View().Pipeline().Front();
        const QSize shown = View().ShownSize();
        const QPoint window[] = {{0, 0}, {shown.width() - 1, 0}, {0, shown.height() - 1},
                                 {shown.width() - 1, shown.height() - 1}};
        const QPoint image[] = {{0, 0}, {639, 0}, {0, 479}, {639, 479}};
        for (int i = 0; i < 4; ++i) {
            // Through the view: QTest takes a point (0, 0) for "the centre".
            QTest::mouseMove(&View(), View().viewport()->mapTo(&View(), window[i]));
            EXPECT_EQ(Pane(4).toStdString(),
                      PixelProbe::Text(picture, View().m_nColorCoding, {}, image[i]).toStdString())
                << color << " corner " << i;
        }
        EXPECT_TRUE(Pane(4).startsWith("X 0639 Y 0479  R "));
        View().RunCommand(cmd::kRelease);
    }
    m_frame->Action(cmd::kPixelValue)->trigger();
    EXPECT_FALSE(m_frame->Pane(4)->isVisibleTo(m_frame.get()));
}

TEST_F(ViewMenuTest, StatisticsCountALostFrameAndTheRecording) {
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(m_bus.Busctl({"fault", "iso-negative", "2"}).Ok());
    View().RunCommand(cmd::kStart);
    ASSERT_TRUE(WaitFor([&] {
        const ViewerStatistics& s = View().SampleStatistics();
        return s.lost == 2 && s.received >= 3 && s.shown > 0;
    })) << View().Statistics().lost;
    const ViewerStatistics& s = View().Statistics();
    EXPECT_EQ(s.mode, "640x480/RGB/15fps");
    EXPECT_EQ(s.dropped, 0u);
    EXPECT_LE(s.shown, s.received);

    testsupport::TempDir dir("kestrix-view-stats");
    const QString avi = QString::fromStdString(dir.Path().string()) + "/take.avi";
    m_prompts->fileAnswers.push_back(avi);
    View().RunCommand(cmd::kAviOpen);
    View().RunCommand(cmd::kAviStart);
    EXPECT_EQ(m_frame->windowTitle(), "KestrixView [640x480/RGB/15fps] - REC take.avi");
    ASSERT_TRUE(WaitFor([&] {
        const ViewerStatistics& r = View().SampleStatistics();
        return r.recordedFrames >= 2 && r.fileBytes > 2 * 640 * 480 * 3;
    }));
    EXPECT_EQ(View().Statistics().file, "take.avi");
    EXPECT_GT(View().Statistics().freeBytes, 0);
    m_frame->Action(cmd::kStatistics)->trigger();
    auto* dock = static_cast<StatisticsDock*>(m_frame->Dock(cmd::kStatistics));
    EXPECT_EQ(dock->windowTitle(), "Statistics");
    ASSERT_TRUE(WaitFor([&] { return dock->Shown().contains("Lost 2<br>"); }));
    EXPECT_TRUE(dock->Shown().contains("Recording take.avi"));
    View().RunCommand(cmd::kAviStop);
    EXPECT_EQ(m_frame->windowTitle(), "KestrixView [640x480/RGB/15fps]");
    View().RunCommand(cmd::kAviClose);
}

TEST_F(ViewMenuTest, SnapshotsAreSavedInEveryFormatWhileThePictureGoesOn) {
    testsupport::TempDir dir("kestrix-view-snapshots");
    View().Options().snapshotFolder = QString::fromStdString(dir.Path().string()) + "/shots";
    ASSERT_TRUE(Connect());
    View().RunCommand(cmd::kStart);
    ASSERT_TRUE(WaitForFrame());
    QSignalSpy saved(&View(), &CCameraView::SnapshotSaved);
    const std::pair<SnapshotWriter::Format, QByteArray> formats[] = {
        {SnapshotWriter::Format::Png, "png"},   {SnapshotWriter::Format::Bmp, "bmp"},
        {SnapshotWriter::Format::Jpeg, "jpeg"}, {SnapshotWriter::Format::Png16, "png"},
        {SnapshotWriter::Format::Tiff, "tiff"}};
    const QRegularExpression name(R"(/shots/kestrix-\d{8}-\d{6}-\d{3}(-\d+)?\.(png|bmp|jpg|tif)$)");
    for (const auto& [format, reader] : formats) {
        View().Options().snapshotFormat = format;
        const auto shown = View().Pipeline().FramesShown();
        PressKey(Qt::Key_F12);
        ASSERT_TRUE(WaitFor([&] { return !saved.isEmpty(); })) << m_prompts->messages.size();
        const QString path = saved.takeFirst().at(0).toString();
        EXPECT_TRUE(name.match(path).hasMatch()) << path.toStdString();
        EXPECT_EQ(m_frame->statusBar()->currentMessage(), "Saved " + path);
        QImageReader image(path);
        EXPECT_EQ(image.format(), reader);
        EXPECT_EQ(image.size(), QSize(640, 480));
        if (format == SnapshotWriter::Format::Png16) {
            EXPECT_EQ(image.read().depth(), 64);
        }
        // Still live: new pictures keep coming.
        EXPECT_TRUE(View().m_bStreaming);
        EXPECT_TRUE(WaitFor([&] { return View().Pipeline().FramesShown() > shown; }));
    }
    EXPECT_TRUE(m_prompts->messages.empty());
}

TEST_F(ViewMenuTest, FullScreenShowsOnlyThePictureUntilEscape) {
    ASSERT_TRUE(Connect());
    QTest::keyClick(m_frame.get(), Qt::Key_F11);
    ASSERT_TRUE(WaitFor([&] { return m_frame->isFullScreen(); }));
    EXPECT_FALSE(m_frame->menuBar()->isVisible());
    EXPECT_TRUE(m_frame->Action(cmd::kFullScreen)->isChecked());
    QTest::keyClick(m_frame.get(), Qt::Key_Escape);
    ASSERT_TRUE(WaitFor([&] { return !m_frame->isFullScreen(); }));
    EXPECT_TRUE(m_frame->menuBar()->isVisible());
    EXPECT_EQ(m_frame->maximumSize(), m_frame->MaximumFrameSize());
}

}  // namespace
}  // namespace viewertest
