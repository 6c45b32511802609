// The parameter dialogs on a 1024 x 768 screen and from the keyboard: each radio group is one tab
// stop on its checked button, a dialog taller than the screen scrolls, and a dialog opens beside
// the main window when the screen has room.
#include <gtest/gtest.h>

#include <QApplication>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <set>

#include "dialogs/CMaskingDlg.h"
#include "dialogs/CMiscParamDlg.h"
#include "dialogs/CStandardFeatureDlg.h"
#include "tests/dialogs/DialogTestSupport.h"

namespace {

using namespace dialogtest;

QRect Screen() { return QGuiApplication::primaryScreen()->availableGeometry(); }

// Tabs round the whole dialog from `first`; the radio buttons Tab landed on.
std::vector<QRadioButton*> RadiosOnTheTabChain(QWidget* first) {
    first->activateWindow();
    first->setFocus(Qt::TabFocusReason);
    std::vector<QRadioButton*> visited;
    for (int i = 0; i < 200; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* now = QApplication::focusWidget();
        if (now == first) break;
        if (auto* radio = qobject_cast<QRadioButton*>(now)) visited.push_back(radio);
    }
    return visited;
}

class MiscOnALaptop : public DialogTest<CMiscParamDlg> {};

TEST_F(MiscOnALaptop, TabLandsOnEachGroupsCheckedButtonOnceAndArrowsChoose) {
    SetVendor(0xA0, 0x82000000);  // DNR MODE1: the middle button
    Open();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_dlg.get()));
    const auto visited = RadiosOnTheTabChain(Button(1071));
    // Flare, white gate, DNR, knee and the four switches: one stop each, the checked button.
    EXPECT_EQ(visited.size(), 8u);
    for (QRadioButton* radio : visited)
        EXPECT_TRUE(radio->isChecked()) << radio->objectName().toStdString();
    EXPECT_NE(std::find(visited.begin(), visited.end(), Radio(1152)), visited.end());

    // The arrows move within the group and choose; the stop follows the choice.
    Radio(1152)->setFocus(Qt::TabFocusReason);
    QTest::keyClick(Radio(1152), Qt::Key_Right);
    EXPECT_TRUE(Radio(1153)->isChecked());
    EXPECT_EQ(Vendor(0xA0), 0x82000001u);
    EXPECT_EQ(Radio(1153)->focusPolicy(), Qt::StrongFocus);
    EXPECT_EQ(Radio(1152)->focusPolicy(), Qt::ClickFocus);
}

class StandardOnALaptop : public DialogTest<CStandardFeatureDlg> {};

TEST_F(StandardOnALaptop, ATallDialogScrollsAndTabBringsCloseIntoView) {
    Open();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_dlg.get()));
    EXPECT_LE(m_dlg->frameGeometry().height(), Screen().height());
    auto* scroll = m_dlg->findChild<QScrollArea*>();
    ASSERT_NE(scroll, nullptr);
    ASSERT_GT(scroll->verticalScrollBar()->maximum(), 0) << "the controls are taller";
    QPushButton* close = Button(2);
    const auto shown = [&] {
        const QRect at(close->mapTo(scroll->viewport(), QPoint(0, 0)), close->size());
        return scroll->viewport()->rect().contains(at);
    };
    Button(1071)->setFocus(Qt::TabFocusReason);
    for (int i = 0; i < 200 && QApplication::focusWidget() != close; ++i)
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), close);
    EXPECT_TRUE(shown());
}

class MaskingOnALaptop : public DialogTest<CMaskingDlg> {};

TEST_F(MaskingOnALaptop, AShortDialogShowsWholeAndOpensBesideTheMainWindow) {
    Open();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_dlg.get()));
    auto* scroll = m_dlg->findChild<QScrollArea*>();
    EXPECT_EQ(scroll->verticalScrollBar()->maximum(), 0);
    EXPECT_EQ(scroll->viewport()->height(), scroll->widget()->height());
    const QSize size = m_dlg->size();
    m_dlg.reset();

    struct Case {
        QRect window;
        const char* where;  // right, left or none
    };
    for (const Case c : {Case{{0, 0, 500, 400}, "right"},
                         {{Screen().width() - 500, 100, 500, 400}, "left"},
                         {{0, 0, Screen().width() - size.width() / 2, 400}, "none"}}) {
        SCOPED_TRACE(c.where);
        QWidget window;
        window.setGeometry(c.window);
        window.show();
        m_dlg = std::make_unique<CMaskingDlg>();
        ASSERT_TRUE(m_dlg->Create(&m_cam, 0));
        m_dlg->ShowBeside(&window);
        const QRect at = m_dlg->frameGeometry();
        const std::string where = at.left() > window.frameGeometry().right()   ? "right"
                                  : at.right() < window.frameGeometry().left() ? "left"
                                                                               : "none";
        EXPECT_EQ(where, c.where);
        if (where != "none") {
            EXPECT_EQ(at.top(), window.frameGeometry().top());
        }
        EXPECT_TRUE(Screen().contains(at));
        m_dlg.reset();
    }
}

}  // namespace
