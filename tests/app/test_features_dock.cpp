// The Features dock of the main frame: Control > Features and Ctrl+E only while connected,
// showing and hiding the camera's panel, dropped when the connection ends; its View menu item.
#include <QDockWidget>
#include <QMenu>

#include "app/FeaturesDock.h"
#include "dialogs/CFeaturesPanel.h"
#include "tests/app/ViewerTestSupport.h"

namespace viewertest {
namespace {

using FeaturesDockTest = ViewerTest;

TEST_F(FeaturesDockTest, CtrlEShowsAndHidesTheConnectedCamerasFeatures) {
    FeaturesDock* dock = m_frame->Features();
    EXPECT_EQ(m_frame->Action(cmd::kFeatures)->text(), "&Features\tCtrl+E");
    PressKey(Qt::Key_E, Qt::ControlModifier);
    EXPECT_FALSE(dock->isVisible()) << "nothing to show before Connect";

    ASSERT_TRUE(Connect());
    m_frame->UpdateCommands();
    EXPECT_TRUE(m_frame->Action(cmd::kFeatures)->isEnabled());
    PressKey(Qt::Key_E, Qt::ControlModifier);
    ASSERT_TRUE(WaitFor([&] { return dock->isVisible(); }));
    ASSERT_NE(dock->Panel(), nullptr);
    EXPECT_NE(dock->Panel()->findChild<QWidget*>("softwareTrigger"), nullptr);
    PressKey(Qt::Key_E, Qt::ControlModifier);
    EXPECT_FALSE(dock->isVisible());
    EXPECT_NE(dock->Panel(), nullptr) << "hidden, kept for the connection";

    View().RunCommand(cmd::kRelease);
    EXPECT_EQ(dock->Panel(), nullptr);
    EXPECT_FALSE(m_frame->Action(cmd::kFeatures)->isEnabled());
}

TEST_F(FeaturesDockTest, TheViewMenuListsTheDockCheckedWhileItShows) {
    QAction* item = nullptr;
    for (QAction* action : m_frame->ViewMenu()->actions())
        if (action->data().toInt() == cmd::kFeatures) item = action;
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->text(), "F&eatures\tCtrl+E");
    ASSERT_TRUE(Connect());
    m_frame->UpdateCommands();
    ASSERT_TRUE(item->isEnabled());
    item->trigger();
    EXPECT_TRUE(m_frame->Features()->isVisible());
    EXPECT_TRUE(item->isChecked());
    PressKey(Qt::Key_E, Qt::ControlModifier);
    m_frame->UpdateCommands();
    EXPECT_FALSE(item->isChecked());
}

}  // namespace
}  // namespace viewertest
