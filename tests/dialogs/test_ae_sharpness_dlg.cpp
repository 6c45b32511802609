// The detailed AE and sharpness dialog against kestrix-busd: the gate lines' read-modify-write,
// choices and levels written and read back, and the enabling by GATE and COLOR DTL.
#include <gtest/gtest.h>

#include <array>

#include "dialogs/CAeSharpnessDlg.h"
#include "tests/dialogs/DialogTestSupport.h"

namespace {

using namespace dialogtest;

// Check boxes "1" to "9".
constexpr std::array<int, 9> kChecks{1160, 1161, 1162, 1163, 1164, 1165, 1166, 1167, 1168};

class AeSharpnessDlg : public DialogTest<CAeSharpnessDlg> {
protected:
    QComboBox* Line() { return Find<QComboBox>("combo", 1159); }
    // The numbers of the checked boxes, "1" first.
    std::vector<int> Checked() {
        std::vector<int> checked;
        for (std::size_t i = 0; i < kChecks.size(); ++i)
            if (Check(kChecks[i])->isChecked()) checked.push_back(int(i) + 1);
        return checked;
    }
    std::array<DWORD, 4> GateLines() {
        return {Vendor(0x7C), Vendor(0x80), Vendor(0x84), Vendor(0x88)};
    }
};

TEST_F(AeSharpnessDlg, GateLinesReadAndWriteTheirOwnField) {
    SetVendor(0x78, kOn);
    SetVendor(0x7C, 0x8205A003);
    Open();
    EXPECT_EQ(m_dlg->windowTitle(), "Detailed AE & SHARPNESS");
    ASSERT_EQ(Line()->currentText(), "line1");
    EXPECT_EQ(Checked(), (std::vector<int>{2, 4, 5, 7}));
    Click(Check(1160));
    EXPECT_EQ(Vendor(0x7C), 0x8205B003u);

    // Choosing a line shows its areas and writes nothing.
    const auto before = GateLines();
    for (int i = 0; i < 5; ++i) Press(Line(), Qt::Key_Down);
    ASSERT_EQ(Line()->currentText(), "line6");
    EXPECT_EQ(GateLines(), before);
    EXPECT_EQ(Checked(), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    Click(Check(1160));
    auto expected = before;
    expected[2] &= ~1u;
    EXPECT_EQ(GateLines(), expected) << "line6 is bits 0-7 of 0x84 only";
    Click(Check(1168));  // "9" only rewrites the field from "1" to "8"
    EXPECT_EQ(GateLines(), expected);

    // GATE OFF disables the line and areas; a Read then leaves the boxes as they were.
    Click(Radio(1120));
    EXPECT_EQ(Vendor(0x78), kOff);
    EXPECT_FALSE(Line()->isEnabled());
    EXPECT_FALSE(Check(1163)->isEnabled());
    SetVendor(0x84, kOff);
    Read();
    EXPECT_EQ(Checked(), (std::vector<int>{2, 3, 4, 5, 6, 7, 8, 9}));
    Click(Radio(1121));
    EXPECT_EQ(Vendor(0x78), kOn);
    EXPECT_TRUE(Line()->isEnabled());
    EXPECT_EQ(Checked(), (std::vector<int>{9})) << "ON shows the line's areas again";
}

TEST_F(AeSharpnessDlg, ChoicesWriteTheIndexWithBit31) {
    SetVendor(0x74, 0x80000003);
    Open();
    EXPECT_TRUE(Radio(1114)->isChecked()) << "3 shows SLOW";
    struct Case {
        int radio;
        DWORD offset, value;
    };
    for (const Case c :
         {Case{1116, 0x74, kOff + 2}, Case{1109, 0x70, kOff + 1}, Case{1138, 0xB0, kOff + 2},
          Case{1136, 0xB0, kOff}, Case{1190, 0xD0, kOn}, Case{1189, 0xD0, kOff}}) {
        Click(Radio(c.radio));
        EXPECT_EQ(Vendor(c.offset), c.value) << c.radio;
    }
    SetVendor(0x70, kOff + 2);
    SetVendor(0xD0, kOn);
    Read();
    EXPECT_TRUE(Radio(1110)->isChecked());
    EXPECT_TRUE(Radio(1190)->isChecked());
}

TEST_F(AeSharpnessDlg, LevelsAndColorDetail) {
    Open();
    struct Case {
        int slider, label;
        DWORD offset;
    };
    for (const Case c : {Case{1140, 1139, 0xB4}, Case{1143, 1141, 0xB8}, Case{1147, 1145, 0xBC}}) {
        Press(Slider(c.slider), Qt::Key_PageUp);
        EXPECT_EQ(Vendor(c.offset), kOn + 138) << c.slider;
        EXPECT_EQ(Text(c.label), "138");
    }

    // COLOR DTL OFF disables its three levels; ON reads them back.
    EXPECT_FALSE(Slider(1178)->isEnabled());
    EXPECT_EQ(Text(1175), "0");
    SetVendor(0xC4, kOn + 0x33);
    Click(Radio(1150));
    EXPECT_EQ(Vendor(0xC0), kOn);
    EXPECT_EQ(Text(1175), "51");
    EXPECT_TRUE(Slider(1184)->isEnabled());
    Press(Slider(1178), Qt::Key_Right);
    EXPECT_EQ(Vendor(0xC4), kOn + 52);
    Press(Slider(1184), Qt::Key_Right);
    EXPECT_EQ(Vendor(0xCC), kOn + 129);
    Click(Radio(1149));
    EXPECT_EQ(Vendor(0xC0), kOff);
    EXPECT_FALSE(Label(1183)->isEnabled());
}

TEST_F(AeSharpnessDlg, FailuresLeaveOrRereadTheControls) {
    SetVendor(0x78, kOn);
    FailNext(1000);
    Open();
    ClearFaults();
    EXPECT_TRUE(Radio(1108)->isChecked()) << "controls keep their first state";
    EXPECT_EQ(Text(1139), "0");

    Read();
    FailNext(1);  // the gate line cannot be read, so nothing is written
    Click(Check(1165));
    EXPECT_EQ(Vendor(0x7C), 0x800FF0FFu);
    EXPECT_TRUE(Check(1165)->isChecked()) << "shows the camera's area again";
    FailNext(1);
    Press(Slider(1147), Qt::Key_Right);
    EXPECT_EQ(Text(1145), "128");
}

}  // namespace
