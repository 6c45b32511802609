// The standard feature dialog against kestrix-busd: each control's write read back from the
// camera, what Read shows of crafted registers, trackbar keys, failures, INITIALIZE and SAVE.
#include <gtest/gtest.h>

#include "dialogs/CStandardFeatureDlg.h"
#include "tests/dialogs/DialogTestSupport.h"

namespace {

using namespace dialogtest;

class StandardFeatureDlg : public DialogTest<CStandardFeatureDlg> {};

TEST_F(StandardFeatureDlg, SlidersWriteTheirRegisterAndLabelOnLineAndPageKeys) {
    Open();
    struct Case {
        int slider, label, feature;
    };
    for (const Case c :
         {Case{1037, 1060, kBrightness}, Case{1038, 1062, kSharpness}, Case{1041, 1067, kGain},
          Case{1073, 1085, kAutoExposure}, Case{1074, 1086, kSaturation}}) {
        const int start = Slider(c.slider)->value();
        Press(Slider(c.slider), Qt::Key_Right);
        EXPECT_EQ(Feature(c.feature), kOn + DWORD(start + 1)) << c.slider;
        EXPECT_EQ(Text(c.label), QString::number(start + 1)) << c.slider;
        Press(Slider(c.slider), Qt::Key_PageUp);
        EXPECT_EQ(Feature(c.feature), kOn + DWORD(start + 11)) << c.slider;
    }

    // Either white-balance slider writes R and B together.
    Press(Slider(1039), Qt::Key_Right);
    EXPECT_EQ(Feature(kWhiteBalance), kOn + 128 * 0x1000 + 129);
    Press(Slider(1040), Qt::Key_Left);
    EXPECT_EQ(Feature(kWhiteBalance), kOn + 127 * 0x1000 + 129);
    EXPECT_EQ(Text(1064), "129");
    EXPECT_EQ(Text(1066), "127");

    // The shutter shows its value in hex and the exposure time.
    Press(Slider(1072), Qt::Key_Right);
    EXPECT_EQ(Feature(kShutter), kOn + 2049);
    EXPECT_EQ(Text(1070), "801h");
    EXPECT_EQ(Text(1076), "1/30.303sec");

    // Flash start with the width that is checked.
    Click(Radio(1100));
    EXPECT_EQ(Vendor(0x18), kOn + 2 * 0x1000);
    Press(Slider(1096), Qt::Key_PageUp);
    EXPECT_EQ(Vendor(0x18), kOn + 2 * 0x1000 + 100);
    EXPECT_EQ(Text(1095), "100");
}

TEST_F(StandardFeatureDlg, HomeAndEndMoveTheThumbWithoutWriteOrLabel) {
    Open();
    for (const Qt::Key key : {Qt::Key_Home, Qt::Key_End}) {
        Press(Slider(1037), key);
        EXPECT_EQ(Slider(1037)->value(), key == Qt::Key_Home ? 0 : 255);
        EXPECT_EQ(Text(1060), "128");
        EXPECT_EQ(Feature(kBrightness), kOn + 128);
    }
}

TEST_F(StandardFeatureDlg, ReadShowsCraftedRegisters) {
    Open();
    SetFeature(kGain, kOn + 100);
    SetFeature(kTrigger, 0x82FF0001);  // MODE1, whatever else is set
    SetFeature(kGamma, kOn + 2);
    SetFeature(kWhiteBalance, kAutomatic + 0x40 * 0x1000 + 0x30);
    SetVendor(0x18, kOn + 3 * 0x1000 + 5);  // width bits 3
    SetVendor(0x60, kOn + 2);
    Read();
    EXPECT_EQ(Text(1067), "100") << "the gain is the 12-bit value field";
    EXPECT_TRUE(Radio(1059)->isChecked());
    EXPECT_TRUE(Radio(1093)->isChecked()) << "trigger MODE1";
    EXPECT_TRUE(Radio(1090)->isChecked()) << "gamma ON(3)";
    EXPECT_TRUE(Radio(1052)->isChecked()) << "white balance AUTO";
    EXPECT_EQ(Text(1064), "48");
    EXPECT_EQ(Text(1066), "64");
    EXPECT_FALSE(Slider(1039)->isEnabled());
    EXPECT_FALSE(Label(1066)->isEnabled());
    EXPECT_TRUE(Radio(1098)->isChecked()) << "width 3 shows NARROW";
    EXPECT_EQ(Text(1095), "5");
    EXPECT_TRUE(Radio(1084)->isChecked()) << "shading FLAT";
    EXPECT_TRUE(Button(1055)->isEnabled());

    // The next flash change writes width 0.
    Press(Slider(1096), Qt::Key_Right);
    EXPECT_EQ(Vendor(0x18), kOn + 6);

    SetFeature(kGain, kAutomatic + 7);
    SetVendor(0x60, kOff);
    Read();
    EXPECT_TRUE(Radio(1058)->isChecked());
    EXPECT_FALSE(Slider(1041)->isEnabled());
    EXPECT_TRUE(Radio(1081)->isChecked());
    EXPECT_FALSE(Button(1055)->isEnabled()) << "ADJUST with shading OFF";
}

TEST_F(StandardFeatureDlg, ShutterTextsInEveryMode) {
    Open();
    struct Case {
        DWORD value;
        const char* hex;
        const char* time;
    };
    for (const Case c : {Case{2048, "800h", "1/30.000sec"}, Case{2047, "7FFh", "1/15.000sec"},
                         Case{2034, "7F2h", "1/1.071sec"}, Case{2033, "7F1h", "1.000sec"},
                         Case{1988, "7C4h", "4.000sec"}, Case{2855, "B27h", "1/99889.356sec"}}) {
        SetFeature(kShutter, kOn + c.value);
        Read();
        EXPECT_EQ(Text(1070), c.hex);
        EXPECT_EQ(Text(1076), c.time);
    }
    // OFF disables only the slider; AUTO the slider and its label.
    SetFeature(kShutter, kOff + 2033);
    Read();
    EXPECT_TRUE(Radio(1015)->isChecked());
    EXPECT_FALSE(Slider(1072)->isEnabled());
    EXPECT_TRUE(Label(1070)->isEnabled());
    EXPECT_EQ(Text(1076), "1.000sec") << "Read shows the time in every mode";
    SetFeature(kShutter, kAutomatic + 2048);
    Read();
    EXPECT_TRUE(Radio(1013)->isChecked());
    EXPECT_FALSE(Label(1070)->isEnabled());
    EXPECT_EQ(Text(1076), "1/30.000sec");
}

TEST_F(StandardFeatureDlg, ModeRadiosWriteAndEnable) {
    Open();
    Click(Radio(1013));  // shutter AUTO
    EXPECT_EQ(Feature(kShutter), kAutomatic);
    EXPECT_EQ(Text(1076), "----");
    EXPECT_FALSE(Slider(1072)->isEnabled());
    Click(Radio(1014));  // MANUAL keeps the text until the slider moves
    EXPECT_EQ(Feature(kShutter) & 0x03000000, 0x02000000u);
    EXPECT_EQ(Text(1076), "----");
    EXPECT_TRUE(Slider(1072)->isEnabled());
    Click(Radio(1015));
    EXPECT_EQ(Feature(kShutter), kOff);
    EXPECT_EQ(Text(1076), "1/30.00sec");
    SetFeature(kShutter, kOff + 2100);
    Click(Radio(1014));  // from OFF, MANUAL switches the shutter on with its value
    EXPECT_EQ(Feature(kShutter), kOn + 2100);

    Click(Radio(1058));
    EXPECT_EQ(Feature(kGain), kAutomatic);
    EXPECT_FALSE(Slider(1041)->isEnabled());
    Click(Radio(1059));
    EXPECT_EQ(Feature(kGain), kOn + DWORD(Slider(1041)->value()));
    EXPECT_TRUE(Slider(1041)->isEnabled());

    Click(Radio(1052));  // white balance AUTO keeps the values
    EXPECT_EQ(Feature(kWhiteBalance), kAutomatic + 0x80080);
    EXPECT_FALSE(Slider(1040)->isEnabled());
    EXPECT_FALSE(Button(1048)->isEnabled());
    Click(Radio(1053));
    EXPECT_EQ(Feature(kWhiteBalance), kOn + 0x80080);
    EXPECT_TRUE(Button(1048)->isEnabled());

    const std::pair<int, DWORD> choices[] = {{1089, kOn + 1}, {1087, kOff}};
    for (const auto& [radio, value] : choices) {
        Click(Radio(radio));
        EXPECT_EQ(Feature(kGamma), value);
    }
    Click(Radio(1093));
    EXPECT_EQ(Feature(kTrigger), kOn + 1);
    Click(Radio(1092));
    EXPECT_EQ(Feature(kTrigger), kOn);
}

TEST_F(StandardFeatureDlg, AwbInAutoWritesTheOnePushAndSwitchesToManual) {
    SetFeature(kWhiteBalance, kAutomatic + 0x40 * 0x1000 + 0x30);
    Open();
    ASSERT_TRUE(Radio(1052)->isChecked());
    ASSERT_TRUE(Button(1048)->isEnabled()) << "Read leaves AWB as it was";
    Click(Button(1048));
    // The camera answers the one-push with its neutral balance, by hand.
    EXPECT_EQ(Feature(kWhiteBalance), kOn + 0x80080);
    EXPECT_TRUE(Radio(1053)->isChecked());
    EXPECT_TRUE(Slider(1039)->isEnabled());
    EXPECT_TRUE(Label(1066)->isEnabled());
}

TEST_F(StandardFeatureDlg, ShadingAndAdjust) {
    SetVendor(0x60, kOn + 1);
    Open();
    ASSERT_TRUE(Radio(1083)->isChecked());
    SetVendor(0x60, kOff);
    Click(Button(1055));
    EXPECT_EQ(Vendor(0x60), kOn + 1) << "the one-push for LUMINUNCE, completed";
    Click(Radio(1081));
    EXPECT_EQ(Vendor(0x60), kOff);
    SetVendor(0x60, kOn + 2);
    Click(Button(1055));
    EXPECT_EQ(Vendor(0x60), kOn + 2) << "ADJUST with OFF chosen writes nothing";
    Click(Radio(1082));
    EXPECT_EQ(Vendor(0x60), kOn);
}

TEST_F(StandardFeatureDlg, FailedReadsLeaveTheControlsEmpty) {
    FailNext(1000);
    Open();
    ClearFaults();
    EXPECT_EQ(Text(1060), "");
    EXPECT_EQ(Text(1076), "");
    EXPECT_EQ(Slider(1072)->value(), 1988);
    for (const int radio : {1052, 1053, 1058, 1059, 1013, 1014, 1015, 1087, 1091, 1098, 1081})
        EXPECT_FALSE(Radio(radio)->isChecked()) << radio;
    Read();
    EXPECT_EQ(Text(1060), "128");
    EXPECT_TRUE(Radio(1014)->isChecked());
}

TEST_F(StandardFeatureDlg, AFailedWriteShowsWhatTheCameraHolds) {
    Open();
    FailNext(1);
    Press(Slider(1037), Qt::Key_Right);
    EXPECT_EQ(Feature(kBrightness), kOn + 128);
    EXPECT_EQ(Text(1060), "128");
    EXPECT_EQ(Slider(1037)->value(), 128);

    FailNext(1);
    Click(Radio(1088));
    EXPECT_EQ(Feature(kGamma), kOff);
    EXPECT_TRUE(Radio(1087)->isChecked());

    FailNext(1);  // the vendor block lookup fails, so nothing is written
    Press(Slider(1096), Qt::Key_Right);
    EXPECT_EQ(Vendor(0x18), kOn);
    EXPECT_EQ(Text(1095), "0");
}

TEST_F(StandardFeatureDlg, SaveThenInitialize) {
    Open();
    Press(Slider(1037), Qt::Key_Right);
    Click(Button(1105));  // SAVE into memory channel 1
    Press(Slider(1037), Qt::Key_Right);
    Click(Button(1075));  // INITIALIZE: factory settings, shown after the pause
    EXPECT_EQ(Feature(kBrightness), kOn + 128);
    EXPECT_EQ(Text(1060), "128");
    EXPECT_TRUE(Button(1075)->isEnabled());
    const DWORD channel1 = 1u << 28;
    ASSERT_TRUE(m_cam.WriteRegister(0, 0x624, &channel1));  // CUR_MEM_CH loads channel 1
    EXPECT_EQ(Feature(kBrightness), kOn + 129);
}

TEST_F(StandardFeatureDlg, CloseEscapeEnterAndTheCloseBoxOnlyHide) {
    Open();
    Press(m_dlg.get(), Qt::Key_Escape);
    EXPECT_FALSE(m_dlg->isVisible());
    m_dlg->show();
    Press(Button(1071), Qt::Key_Return);  // not even the focused Read button takes Enter
    EXPECT_FALSE(m_dlg->isVisible());
    m_dlg->show();
    Click(Button(2));
    EXPECT_FALSE(m_dlg->isVisible());
    m_dlg->show();
    m_dlg->close();
    EXPECT_FALSE(m_dlg->isVisible());
    EXPECT_EQ(m_dlg->windowTitle(), "IIDC Standard Command");
}

}  // namespace
