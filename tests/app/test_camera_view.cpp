// The camera view on a private simulated camera: status texts, enable rules and key commands
// in every state, titles, frame size limits and scroll ranges, Next / Previous, scrolling and
// dragging, and the Connect failures.
#include <sys/wait.h>

#include <QMenu>
#include <QPointer>
#include <QMenuBar>
#include <QScrollBar>
#include <QStatusBar>

#include "tests/app/ViewerTestSupport.h"

namespace viewertest {
namespace {

// The commands whose enable rule depends on the state, in the order of the rows below.
constexpr int kCommands[] = {cmd::kConnect,    cmd::kRelease,    cmd::kStart,       cmd::kStop,
                             cmd::kNext,       cmd::kPrevious,   cmd::kStillBitmap, cmd::kStillJpeg,
                             cmd::kAviOpen,    cmd::kAviClose,   cmd::kAviStart,    cmd::kAviStop,
                             cmd::kSpeedFirst, cmd::kParameters, cmd::kOneShot,     cmd::kExit,
                             cmd::kAbout};

// kestrix-capture recording from camera 0 in the background until the object goes.
class OtherCapture {
public:
    OtherCapture() {
        m_pid = ::fork();
        if (m_pid == 0) {
            ::execl(KESTRIX_BINARY_DIR "/tools/kestrix-capture/kestrix-capture", "kestrix-capture",
                    "--frames", "1000000", static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~OtherCapture() {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
    OtherCapture(const OtherCapture&) = delete;
    OtherCapture& operator=(const OtherCapture&) = delete;

private:
    pid_t m_pid;
};

class CameraViewTest : public ViewerTest {
protected:
    // One letter per command of kCommands: o enabled (menu and rule agree), x disabled.
    std::string Enabled() {
        m_frame->UpdateCommands();
        std::string mask;
        for (int id : kCommands) {
            const bool rule = View().IsCommandEnabled(id);
            EXPECT_EQ(rule, m_frame->Action(id)->isEnabled()) << id;
            mask += rule ? 'o' : 'x';
        }
        return mask;
    }
    std::string Panes() { return (Pane(1) + "|" + Pane(2) + "|" + Pane(3)).toStdString(); }
    testsupport::TempDir m_files{"kestrix-view-files"};
};

TEST_F(CameraViewTest, StatusTextsAndEnableRulesFollowEveryState) {
    EXPECT_EQ(Panes(), " Buffer Index ----/---- | View Rate ---.--- fps | Capture ------ ");
    EXPECT_EQ(Pane(0), "Ready");
    //                   CRSsNPbjOCSsSPOXA
    EXPECT_EQ(Enabled(), "oxxxxxxxxxxxoxxoo");

    ASSERT_TRUE(Connect());
    EXPECT_EQ(View().m_nBufferCount, 20);
    EXPECT_EQ(Panes(), " Buffer Index ----/0019 | View Rate ---.--- fps | Capture ------ ");
    EXPECT_EQ(Enabled(), "xooxxxxxoxxxxoxoo");  // no frame yet: no Next, Previous, stills

    PressKey(Qt::Key_Up);  // Start
    ASSERT_TRUE(View().m_bStreaming);
    ASSERT_TRUE(WaitForFrame());
    EXPECT_EQ(Enabled(), "xoxoxxxxoxxxxoxoo");
    ASSERT_TRUE(WaitFor([&] { return Pane(2) == " View Rate 0.000 fps "; }));
    EXPECT_EQ(Pane(1), QString::asprintf(" Buffer Index %04d/0019 ", View().m_nCurrentIndex));

    PressKey(Qt::Key_Down);  // Stop
    EXPECT_FALSE(View().m_bStreaming);
    EXPECT_EQ(Pane(2), " View Rate ---.--- fps ");
    EXPECT_EQ(Enabled(), "xooxoooooxxxxoxoo");

    m_prompts->fileAnswers.push_back(QString::fromStdString((m_files.Path() / "a.avi").string()));
    ASSERT_TRUE(View().RunCommand(cmd::kAviOpen));
    EXPECT_EQ(Pane(3), " Capture 000000 ");
    EXPECT_EQ(Enabled(), "xooxooooxooxxoxoo");
    ASSERT_TRUE(View().RunCommand(cmd::kAviStart));
    EXPECT_EQ(Enabled(), "xooxooooxoxoxoxoo");
    View().RunCommand(cmd::kAviClose);  // offered while recording too
    EXPECT_EQ(Enabled(), "xooxoooooxxxxoxoo");

    View().RunCommand(cmd::kRelease);
    EXPECT_EQ(Panes(), " Buffer Index ----/---- | View Rate ---.--- fps | Capture ------ ");
    EXPECT_EQ(Enabled(), "oxxxxxxxxxxxoxxoo");
    EXPECT_TRUE(m_prompts->messages.empty());
}

TEST_F(CameraViewTest, MenuPromptsShowInPaneZeroWhileHighlighted) {
    QAction* next = m_frame->Action(cmd::kNext);
    EXPECT_EQ(next->text(), "Ne&xt\t[Right]");
    QMenu* control = m_frame->ControlMenu();
    control->popup(QPoint(0, 0));
    ASSERT_TRUE(WaitFor([&] { return control->isVisible(); }));
    // What the menu does when it highlights an item.
    next->showStatusText(m_frame->menuBar());
    EXPECT_EQ(m_frame->statusBar()->currentMessage(), "Draw next captured image");
    m_frame->ControlMenu()->hide();
    EXPECT_EQ(m_frame->Action(cmd::kExit)->statusTip(), "Quit the application");
}

TEST_F(CameraViewTest, EveryMenuOpensFromTheKeyboardAndItsItemsRunByMnemonic) {
    m_frame->activateWindow();
    ASSERT_TRUE(WaitFor([&] { return QApplication::activeWindow() == m_frame.get(); }));
    const QList<QAction*> bar = m_frame->menuBar()->actions();
    const std::pair<Qt::Key, const char*> menus[] = {{Qt::Key_M, "Ca&mera"},
                                                     {Qt::Key_C, "&Control"},
                                                     {Qt::Key_P, "Ca&pture"},
                                                     {Qt::Key_S, "&Setting"},
                                                     {Qt::Key_V, "&View"},
                                                     {Qt::Key_H, "&Help"}};
    for (std::size_t i = 0; i < std::size(menus); ++i) {
        QMenu* menu = bar.at(qsizetype(i))->menu();
        EXPECT_EQ(menu->title(), menus[i].second);
        QTest::keyClick(m_frame.get(), menus[i].first, Qt::AltModifier);
        EXPECT_TRUE(WaitFor([&] { return menu->isVisible(); })) << menus[i].second;
        QTest::keyClick(menu, Qt::Key_Escape);
        QTest::keyClick(m_frame->menuBar(), Qt::Key_Escape);
        ASSERT_TRUE(WaitFor([&] { return !menu->isVisible(); }));
    }
    // Alt+M, then C: Connect.
    m_prompts->video = CVideoSettingDlg::ChoiceFor(0, 0, 3);
    RingOf(20, 640 * 480 * 3);
    QTest::keyClick(m_frame.get(), Qt::Key_M, Qt::AltModifier);
    QMenu* camera = bar.at(0)->menu();
    ASSERT_TRUE(WaitFor([&] { return camera->isVisible(); }));
    QTest::keyClick(camera, Qt::Key_C);
    EXPECT_TRUE(WaitFor([&] { return View().m_bConnected; }));
}

TEST_F(CameraViewTest, KeysAreCommandsAndDisabledOnesDoNothing) {
    PressKey(Qt::Key_Up);  // Start while not connected: nothing
    EXPECT_FALSE(View().m_bStreaming);
    ASSERT_TRUE(Connect());
    PressKey(Qt::Key_Right);  // Next before a frame: nothing
    EXPECT_EQ(View().m_nCurrentIndex, -1);
    ASSERT_TRUE(StreamAndStop());
    const int shown = View().m_nCurrentIndex;
    PressKey(Qt::Key_S, Qt::ControlModifier);
    PressKey(Qt::Key_Plus, Qt::KeypadModifier);
    PressKey(Qt::Key_Minus, Qt::KeypadModifier);
    EXPECT_EQ(View().m_nCurrentIndex, shown);
    EXPECT_FALSE(View().m_bStreaming);
    PressKey(Qt::Key_Right);
    EXPECT_EQ(View().m_nCurrentIndex, (shown + 1) % 20);
    PressKey(Qt::Key_Left);
    PressKey(Qt::Key_Left);
    EXPECT_EQ(View().m_nCurrentIndex, (shown + 19) % 20);
}

TEST_F(CameraViewTest, NextAndPreviousWrapAroundTheRing) {
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(StreamAndStop());
    for (int i = 0; i < 20 && View().m_nCurrentIndex != 19; ++i) View().RunCommand(cmd::kNext);
    View().RunCommand(cmd::kNext);
    EXPECT_EQ(View().m_nCurrentIndex, 0);
    EXPECT_EQ(Pane(1), " Buffer Index 0000/0019 ");
    View().RunCommand(cmd::kPrevious);
    EXPECT_EQ(View().m_nCurrentIndex, 19);
    EXPECT_EQ(Pane(1), " Buffer Index 0019/0019 ");
}

TEST_F(CameraViewTest, TitleCarriesOneModeTextPerConnection) {
    ASSERT_TRUE(Connect(0, 1, 3));
    EXPECT_EQ(m_frame->windowTitle(), "KestrixView [640x480/YUV4:2:2/15fps]");
    View().RunCommand(cmd::kRelease);
    EXPECT_EQ(m_frame->windowTitle(), "KestrixView");
    ASSERT_TRUE(Connect(2, 1, 1));
    EXPECT_EQ(m_frame->windowTitle(), "KestrixView [1024x768/YUV4:2:2/3.75fps]");
    View().RunCommand(cmd::kRelease);
    ASSERT_TRUE(Connect(3, 1, 0));
    EXPECT_EQ(m_frame->windowTitle(), "KestrixView [1360x1024/YUV4:2:2/7.5fps]");
}

TEST_F(CameraViewTest, CancelledDialogLeavesEverythingAsItWas) {
    m_prompts->acceptVideo = false;
    EXPECT_TRUE(View().RunCommand(cmd::kConnect));
    EXPECT_EQ(m_prompts->videoDialogs, 1);
    EXPECT_FALSE(View().m_bConnected);
    EXPECT_EQ(m_frame->windowTitle(), "KestrixView");
    EXPECT_TRUE(m_prompts->messages.empty());
}

TEST_F(CameraViewTest, FrameIsLimitedToTheImageWhileConnectedAndScrollsWhenSmaller) {
    const QSize unconnected = m_frame->maximumSize();
    m_frame->resize(1200, 1000);
    ASSERT_TRUE(Connect());  // 640 x 480
    const QSize decoration = unconnected - QSize(1280, 1024);
    EXPECT_EQ(m_frame->maximumSize(), decoration + QSize(640, 480));
    EXPECT_EQ(m_frame->size(), decoration + QSize(640, 480));  // shrunk in both directions
    EXPECT_EQ(View().viewport()->size(), QSize(640, 480));
    EXPECT_EQ(View().m_nHPage, 0);
    EXPECT_FALSE(View().horizontalScrollBar()->isEnabled());

    m_frame->resize(decoration + QSize(400, 300));
    EXPECT_EQ(View().m_nHPage, 400);
    EXPECT_EQ(View().m_nVPage, 300);
    EXPECT_EQ(View().horizontalScrollBar()->maximum(), 240);
    EXPECT_EQ(View().verticalScrollBar()->maximum(), 180);
    EXPECT_EQ(View().horizontalScrollBar()->pageStep(), 400);

    View().RunCommand(cmd::kRelease);
    EXPECT_EQ(m_frame->maximumSize(), unconnected);
    EXPECT_EQ(View().m_nHPage + View().m_nVPage + View().m_nHPos + View().m_nVPos, 0);
    EXPECT_EQ(View().horizontalScrollBar()->maximum(), 0);
}

TEST_F(CameraViewTest, ConnectOnAMaximizedFrameFitsItToTheImage) {
    m_frame->showMaximized();
    ASSERT_TRUE(WaitFor([&] { return m_frame->isMaximized(); }));
    ASSERT_TRUE(Connect());
    EXPECT_FALSE(m_frame->isMaximized());
    EXPECT_TRUE(WaitFor([&] { return View().viewport()->size() == QSize(640, 480); }))
        << View().viewport()->width() << "x" << View().viewport()->height();
}

TEST_F(CameraViewTest, ScrollingStaysWithinTheImageAndNeedsAPage) {
    ASSERT_TRUE(Connect());
    CCameraView& v = View();
    m_frame->resize(m_frame->maximumSize());
    // As large as the image: nothing scrolls.
    v.OnHScroll(CCameraView::SB_PAGERIGHT, 0);
    v.OnVScroll(CCameraView::SB_THUMBTRACK, 50);
    EXPECT_EQ(v.m_nHPos + v.m_nVPos, 0);

    const QSize decoration = m_frame->size() - v.viewport()->size();
    m_frame->resize(decoration + QSize(400, 300));  // pages 400 x 300
    v.OnHScroll(CCameraView::SB_LINERIGHT, 0);
    EXPECT_EQ(v.m_nHPos, 4);
    v.OnHScroll(CCameraView::SB_PAGERIGHT, 0);
    EXPECT_EQ(v.m_nHPos, 240);  // 640 - 400
    EXPECT_EQ(v.horizontalScrollBar()->value(), 240);
    v.OnHScroll(CCameraView::SB_THUMBTRACK, -20);
    EXPECT_EQ(v.m_nHPos, 0);
    v.OnVScroll(CCameraView::SB_LINERIGHT, 0);  // 300 / 100 = 3
    EXPECT_EQ(v.m_nVPos, 3);
    v.OnVScroll(CCameraView::SB_OTHER, 100);
    EXPECT_EQ(v.m_nVPos, 3);
    m_frame->resize(decoration + QSize(400, 90));  // a page under 100: line steps do nothing
    v.OnVScroll(CCameraView::SB_LINERIGHT, 0);
    EXPECT_EQ(v.m_nVPos, 3);
    // The bar's own page action goes through the same arithmetic.
    v.verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepAdd);
    EXPECT_EQ(v.m_nVPos, 93);
    EXPECT_EQ(v.verticalScrollBar()->value(), 93);
    // Arrow keys never scroll.
    PressKey(Qt::Key_Down);
    PressKey(Qt::Key_Right);
    EXPECT_EQ(v.m_nVPos, 93);
    EXPECT_EQ(v.m_nHPos, 0);
}

TEST_F(CameraViewTest, DraggingFollowsThePointerAndKeepsTheReferenceAtAnEdge) {
    ASSERT_TRUE(Connect());
    CCameraView& v = View();
    const QSize decoration = m_frame->size() - v.viewport()->size();
    m_frame->resize(decoration + QSize(600, 400));  // 40 columns and 80 rows to scroll
    QWidget* port = v.viewport();
    // No frame yet: no drag.
    QTest::mousePress(port, Qt::LeftButton, {}, QPoint(300, 200));
    EXPECT_FALSE(v.m_bDragging);
    QTest::mouseRelease(port, Qt::LeftButton, {}, QPoint(300, 200));
    ASSERT_TRUE(StreamAndStop());

    QTest::mousePress(port, Qt::LeftButton, {}, QPoint(300, 200));
    ASSERT_TRUE(v.m_bDragging);
    QTest::mouseMove(port, QPoint(290, 200));  // pull left: the picture scrolls right by 10
    EXPECT_EQ(v.m_nHPos, 10);
    QTest::mouseMove(port, QPoint(250, 200));  // past the edge at 40: stops there
    EXPECT_EQ(v.m_nHPos, 40);
    QTest::mouseMove(port, QPoint(200, 200));  // at the edge: the reference point stays
    EXPECT_EQ(v.m_nHPos, 40);
    EXPECT_EQ(v.m_ptLast.x(), 250);
    QTest::mouseMove(port, QPoint(280, 200));  // back: moves by the way from the kept point
    EXPECT_EQ(v.m_nHPos, 10);
    QTest::mouseMove(port, QPoint(280, 100));  // up the picture: rows move too
    EXPECT_EQ(v.m_nVPos, 80);
    QTest::mouseRelease(port, Qt::LeftButton, {}, QPoint(280, 100));
    EXPECT_FALSE(v.m_bDragging);
}

TEST_F(CameraViewTest, ContextMenuIsTheControlMenuOnlyWhileConnected) {
    QContextMenuEvent outside(QContextMenuEvent::Mouse, QPoint(10, 10), QPoint(100, 100));
    QApplication::sendEvent(View().viewport(), &outside);
    EXPECT_FALSE(m_frame->ControlMenu()->isVisible());
    ASSERT_TRUE(Connect());
    QContextMenuEvent inside(QContextMenuEvent::Mouse, QPoint(10, 10), QPoint(100, 100));
    QApplication::sendEvent(View().viewport(), &inside);
    EXPECT_TRUE(m_frame->ControlMenu()->isVisible());
    EXPECT_TRUE(m_frame->Action(cmd::kStart)->isEnabled());
    m_frame->ControlMenu()->hide();
}

TEST_F(CameraViewTest, EachParameterDialogHasOneInstanceAndReleaseDestroysAll) {
    ASSERT_TRUE(Connect());
    const std::pair<int, const char*> dialogs[] = {{cmd::kParameters, "IIDC Standard Command"},
                                                   {cmd::kParameters2, "MASKING"},
                                                   {cmd::kParameters3, "Detailed AE & SHARPNESS"},
                                                   {cmd::kParameters4, "Misc. Parameters"}};
    std::vector<QPointer<QWidget>> opened;
    for (auto [id, title] : dialogs) {
        ASSERT_TRUE(View().RunCommand(id));
        QWidget* dialog = QApplication::activeModalWidget();
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->isVisible() && top->windowTitle() == title) dialog = top;
        ASSERT_NE(dialog, nullptr) << title;
        ASSERT_EQ(dialog->windowTitle(), title);
        // Open again while shown: the same window; after closing: a fresh one.
        View().RunCommand(id);
        QTest::keyClick(dialog, Qt::Key_Escape);
        ASSERT_FALSE(dialog->isVisible());
        QPointer<QWidget> closed(dialog);
        View().RunCommand(id);
        EXPECT_TRUE(closed.isNull()) << title;
        int shown = 0;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->isVisible() && top->windowTitle() == title) opened.emplace_back(top), ++shown;
        EXPECT_EQ(shown, 1) << title;
    }
    View().RunCommand(cmd::kRelease);
    for (const QPointer<QWidget>& dialog : opened) EXPECT_TRUE(dialog.isNull());
    EXPECT_FALSE(View().RunCommand(cmd::kParameters));  // not connected
}

TEST_F(CameraViewTest, VideoModeFailureAndCaptureFailureLeaveItDisconnected) {
    ASSERT_TRUE(m_bus.Busctl({"fault", "async-fail", "1000"}).Ok());
    EXPECT_FALSE(Connect());
    ASSERT_TRUE(m_bus.Busctl({"fault", "clear"}).Ok());
    ASSERT_EQ(m_prompts->messages.size(), 1u);
    EXPECT_EQ(m_prompts->messages[0], "Video-mode setup failed.");
    EXPECT_EQ(m_prompts->icons[0], ViewerPrompts::Icon::Exclamation);
    EXPECT_EQ(m_frame->windowTitle(), "KestrixView");

    // Another program capturing from the camera is refused before any register write, so its
    // transmission goes on.
    OtherCapture other;
    const auto sending = [&] {
        return m_bus.Busctl({"status"}).output.find("channels 0,") != std::string::npos;
    };
    ASSERT_TRUE(WaitFor(sending));
    EXPECT_FALSE(Connect());
    ASSERT_EQ(m_prompts->messages.size(), 2u);
    EXPECT_EQ(m_prompts->messages[1].toStdString(), "The camera is in use by another program.");
    EXPECT_TRUE(sending());
    EXPECT_EQ(m_frame->windowTitle(), "KestrixView");
    EXPECT_EQ(Pane(1), " Buffer Index ----/---- ");
    EXPECT_FALSE(View().m_bConnected);
}

class NoCameraViewTest : public ViewerTest {
protected:
    NoCameraViewTest() : ViewerTest(0) {}
    void SetUp() override {
        ASSERT_TRUE(m_bus.IsRunning());
        MakeFrame(0);
    }
};

TEST_F(NoCameraViewTest, ConnectWithoutACameraSaysSoAndShowsNoDialog) {
    EXPECT_FALSE(Connect());
    EXPECT_EQ(m_prompts->videoDialogs, 0);
    ASSERT_EQ(m_prompts->messages.size(), 1u);
    EXPECT_EQ(m_prompts->messages[0], "The camera is not connected.");
    EXPECT_EQ(m_prompts->icons[0], ViewerPrompts::Icon::Exclamation);
    // Why, when the program knows: the window says it, not only the terminal.
    View().SetBusProblem("No FireWire controller on this machine.");
    EXPECT_FALSE(Connect());
    EXPECT_EQ(m_prompts->messages.back(),
              "The camera is not connected.\n\nNo FireWire controller on this machine.");
}

}  // namespace
}  // namespace viewertest
