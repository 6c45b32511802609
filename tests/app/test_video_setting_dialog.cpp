// The "VIDEO SETTING" dialog: initial choice, the rate rules of every size and colour, the mode
// each choice yields, and Enter / Escape.
#include <QApplication>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <gtest/gtest.h>

#include "app/CVideoSettingDlg.h"

namespace {

// From 1024 x 768 YUV4:2:2 (every rate on) chooses rate, then colour, then size; reports the
// enabled rate buttons as a mask (x = off) and the rate chosen after the rule.
std::pair<std::string, int> After(int size, int color, int rate) {
    CVideoSettingDlg dialog;
    dialog.SizeButton(2)->click();
    dialog.ColorButton(1)->click();
    dialog.RateButton(rate)->click();
    dialog.ColorButton(color)->click();
    dialog.SizeButton(size)->click();
    std::string mask;
    int chosen = -1;
    for (int i = 0; i < 4; ++i) {
        mask += dialog.RateButton(i)->isEnabled() ? 'o' : 'x';
        if (dialog.RateButton(i)->isChecked()) chosen = i;
    }
    return {mask, chosen};
}

TEST(VideoSettingDialog, OpensAt640RgbAt15WithTheCaption) {
    CVideoSettingDlg dialog;
    EXPECT_EQ(dialog.windowTitle(), "VIDEO SETTING");
    EXPECT_TRUE(dialog.SizeButton(0)->isChecked());
    EXPECT_TRUE(dialog.ColorButton(0)->isChecked());
    EXPECT_TRUE(dialog.RateButton(3)->isChecked());
    EXPECT_FALSE(dialog.RateButton(0)->isEnabled());
}

TEST(VideoSettingDialog, RateRulesOfEachRowMoveADisabledChoice) {
    using R = std::pair<std::string, int>;
    EXPECT_EQ(After(0, 0, 0), (R{"xooo", 1}));  // 640 x 480: 1.875 off, moved to 3.75
    EXPECT_EQ(After(0, 1, 0), (R{"xooo", 1}));
    EXPECT_EQ(After(1, 0, 0), (R{"xxoo", 3}));  // 800 x 600 RGB: 1.875 and 3.75 become 15
    EXPECT_EQ(After(1, 0, 1), (R{"xxoo", 3}));
    EXPECT_EQ(After(1, 0, 2), (R{"xxoo", 2}));
    EXPECT_EQ(After(1, 1, 0), (R{"xooo", 1}));  // 800 x 600 YUV: 1.875 off, moved to 3.75
    EXPECT_EQ(After(2, 0, 3), (R{"ooox", 2}));  // 1024 x 768 RGB: 15 off, moved to 7.5
    EXPECT_EQ(After(2, 1, 0), (R{"oooo", 0}));  // 1024 x 768 YUV: all on
    EXPECT_EQ(After(3, 0, 2), (R{"xxxx", 2}));  // 1360 x 1024: all off, choice kept
    EXPECT_EQ(After(3, 1, 1), (R{"xxxx", 1}));
}

TEST(VideoSettingDialog, ChoicesGiveTheirModes) {
    struct Row {
        int size, color, mode, width, height, coding;
    };
    for (const Row& r :
         {Row{0, 0, 4, 640, 480, 4}, Row{0, 1, 3, 640, 480, 2}, Row{1, 0, 9, 800, 600, 4},
          Row{1, 1, 8, 800, 600, 2}, Row{2, 0, 12, 1024, 768, 4}, Row{2, 1, 11, 1024, 768, 2},
          Row{3, 0, 24, 1360, 1024, 4}, Row{3, 1, 24, 1360, 1024, 2}}) {
        const auto c = CVideoSettingDlg::ChoiceFor(r.size, r.color, 2);
        EXPECT_EQ(std::tuple(c.nModeIndex, c.nWidth, c.nHeight, c.nColorCoding, c.nFrameRate),
                  std::tuple(r.mode, r.width, r.height, r.coding, 2))
            << r.size << "/" << r.color;
    }
}

TEST(VideoSettingDialog, EnterAcceptsTheChoiceAndEscapeCancels) {
    CVideoSettingDlg accepted;
    accepted.show();
    QTest::mouseClick(accepted.ColorButton(1), Qt::LeftButton);
    QTest::mouseClick(accepted.SizeButton(2), Qt::LeftButton);
    QTest::keyClick(&accepted, Qt::Key_Return);
    EXPECT_EQ(accepted.result(), QDialog::Accepted);
    EXPECT_EQ(accepted.Result().nModeIndex, 11);
    EXPECT_EQ(accepted.Result().nFrameRate, 3);

    CVideoSettingDlg cancelled;
    cancelled.show();
    QTest::keyClick(&cancelled, Qt::Key_Escape);
    EXPECT_EQ(cancelled.result(), QDialog::Rejected);
    EXPECT_FALSE(cancelled.isVisible());
}

TEST(VideoSettingDialog, TabLandsOnEachGroupsCheckedButtonAndChangesNothing) {
    CVideoSettingDlg dialog;
    dialog.SizeButton(1)->click();
    dialog.RateButton(2)->click();  // 800 x 600 RGB at 7.5 fps
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    dialog.SizeButton(1)->setFocus(Qt::TabFocusReason);
    auto tab = [](Qt::Key key) {
        QTest::keyClick(QApplication::focusWidget(), key);
        return QApplication::focusWidget();
    };
    EXPECT_EQ(tab(Qt::Key_Tab), dialog.ColorButton(0));
    EXPECT_EQ(tab(Qt::Key_Tab), dialog.RateButton(2)) << "not the first rate on";
    EXPECT_EQ(qobject_cast<QRadioButton*>(tab(Qt::Key_Tab)), nullptr) << "the next Tab leaves";
    EXPECT_EQ(tab(Qt::Key_Backtab), dialog.RateButton(2));
    EXPECT_EQ(tab(Qt::Key_Backtab), dialog.ColorButton(0));
    EXPECT_TRUE(dialog.SizeButton(1)->isChecked() && dialog.ColorButton(0)->isChecked() &&
                dialog.RateButton(2)->isChecked());
}

}  // namespace
