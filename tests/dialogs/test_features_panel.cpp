// The Features panel against kestrix-busd: a row for every feature the camera offers with its
// value in units beside the raw one, refused writes read back, automatic values followed, the
// trigger and the memory channels.
#include <gtest/gtest.h>

#include <QDoubleSpinBox>
#include <QSignalSpy>
#include <QSpinBox>

#include "dialogs/CFeaturesPanel.h"
#include "tests/dialogs/DialogTestSupport.h"

namespace {

using namespace dialogtest;

constexpr DWORD kAbsolute = 0x4000'0000;

class FeaturesPanel : public DialogTest<CFeaturesPanel> {
protected:
    template <class W>
    W* Named(const QString& name) {
        W* widget = m_dlg->findChild<W*>(name);
        if (widget == nullptr) ADD_FAILURE() << "no " << name.toStdString();
        return widget;
    }
    QSpinBox* Value(int feature) { return Find<QSpinBox>("value", feature); }
    QDoubleSpinBox* Absolute(int feature) { return Find<QDoubleSpinBox>("absolute", feature); }
    QComboBox* Mode(int feature) { return Find<QComboBox>("mode", feature); }
    // Types text into a spin box and commits it, as a user does.
    void Type(QAbstractSpinBox* spin, const QString& text) {
        spin->setFocus();
        spin->selectAll();
        QTest::keyClicks(spin, text);
        Press(spin, Qt::Key_Return);
    }
    // Picks the item with text by keys, as a user steps through the list: every item on the
    // way is chosen in turn. What the panel shows afterwards is what the camera took.
    void Choose(QComboBox* combo, const QString& text) {
        const int target = combo->findText(text);
        ASSERT_GE(target, 0) << text.toStdString();
        QSignalSpy chosen(combo, &QComboBox::activated);
        const auto reached = [&] { return !chosen.isEmpty() && chosen.last().at(0) == target; };
        for (int step = 0; step < combo->count() && !reached(); ++step)
            Press(combo, combo->currentIndex() < target ? Qt::Key_Down : Qt::Key_Up);
        ASSERT_TRUE(reached()) << text.toStdString();
    }
};

TEST_F(FeaturesPanel, ValuesInUnitsBesideTheRawOnes) {
    Open();
    EXPECT_EQ(m_dlg->findChildren<QComboBox*>(QRegularExpression("^mode")).size(), 17)
        << "every feature but the trigger, and frame rate";
    Type(Absolute(kShutter), "10");  // ms
    EXPECT_EQ(Feature(kShutter), kOn | kAbsolute | 2168);
    EXPECT_EQ(Value(kShutter)->value(), 2168);
    EXPECT_NEAR(Absolute(kShutter)->value(), 9.979, 0.001);

    Type(Value(kGain), "64");
    EXPECT_EQ(Feature(kGain), kOn + 64);
    EXPECT_NEAR(Absolute(kGain)->value(), 6.021, 0.001);
    EXPECT_FALSE(Value(17)->isEnabled()) << "frame rate is only reported";
    EXPECT_EQ(Value(17)->value(), 120);
}

TEST_F(FeaturesPanel, ARefusedOrFailedWriteShowsWhatTheCameraHolds) {
    Open();
    FailNext(1);
    Type(Value(kBrightness), "200");
    EXPECT_EQ(Feature(kBrightness), kOn + 128);
    EXPECT_EQ(Value(kBrightness)->value(), 128);
    EXPECT_NEAR(Absolute(kBrightness)->value(), 50.196, 0.001);
}

TEST_F(FeaturesPanel, ValuesTheCameraAdjustsAreFollowed) {
    ASSERT_NE(Start(5, 3, 8), nullptr);  // 640 x 480 mono 8 at 15 fps
    ASSERT_TRUE(m_cam.StartTransmission(0, 0));
    SetFeature(kShutter, kOn + 2600);  // far too dark
    Open();
    Choose(Mode(kShutter), "Auto");
    EXPECT_EQ(Feature(kShutter) & kAutomatic, kAutomatic);
    // Followed until the camera settles: the panel shows what it holds.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return Value(kShutter)->value() < 2500 &&
                   DWORD(Value(kShutter)->value()) == (Feature(kShutter) & 0xFFF);
        },
        20000));
    EXPECT_FALSE(Value(kShutter)->isEnabled());

    Choose(Mode(kWhiteBalance), "One-push");
    EXPECT_EQ(Mode(kWhiteBalance)->currentText(), "Manual") << "done at once: read back";
    EXPECT_EQ(Value(kWhiteBalance)->value(), 128);
    m_cam.StopTransmission(0);
}

TEST_F(FeaturesPanel, TriggerAndMemoryChannels) {
    Open();
    auto* on = Named<QCheckBox>("triggerOn");
    auto* trigger = Named<QPushButton>("softwareTrigger");
    EXPECT_FALSE(trigger->isEnabled());
    Choose(Named<QComboBox>("triggerSource"), "Software");
    on->setFocus();
    Press(on, Qt::Key_Space);
    EXPECT_EQ(Feature(kTrigger), 0x82E0'0000u) << "on, mode 0, software";
    EXPECT_TRUE(trigger->isEnabled());
    Choose(Named<QComboBox>("triggerMode"), "Mode 14");
    EXPECT_EQ(Feature(kTrigger), 0x82EE'0000u);

    Type(Value(kBrightness), "40");
    Choose(Named<QComboBox>("memoryChannel"), "Channel 2");
    Click(Named<QPushButton>("memorySave"));
    Type(Value(kBrightness), "90");
    Click(Named<QPushButton>("memoryLoad"));
    EXPECT_EQ(Value(kBrightness)->value(), 40);
    EXPECT_EQ(Feature(kTrigger), 0x82EE'0000u) << "the trigger was saved too";
    EXPECT_EQ(Named<QLabel>("memoryCurrent")->text(), "Loaded: channel 2");
    Choose(Named<QComboBox>("memoryChannel"), "Factory");
    EXPECT_FALSE(Named<QPushButton>("memorySave")->isEnabled());
}

}  // namespace
