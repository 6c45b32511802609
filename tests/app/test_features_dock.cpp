// The Features dock of the main frame: Control > Features and Ctrl+E only while connected,
// showing and hiding the camera's panel, dropped when the connection ends.
#include <QDockWidget>

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

}  // namespace
}  // namespace viewertest
