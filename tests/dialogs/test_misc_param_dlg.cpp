// The miscellaneous parameters dialog against kestrix-busd: knee, DNR and white gate as Read
// shows them, black balance and its one-push, and every switch written and read back.
#include <gtest/gtest.h>

#include "dialogs/CMiscParamDlg.h"
#include "tests/dialogs/DialogTestSupport.h"

namespace {

using namespace dialogtest;

class MiscParamDlg : public DialogTest<CMiscParamDlg> {};

TEST_F(MiscParamDlg, ReadShowsKneeAndDnrModes) {
    Open();
    EXPECT_EQ(m_dlg->windowTitle(), "Misc. Parameters");
    struct Case {
        DWORD value;
        int radio;
        bool levelEnabled;
    };
    for (const Case c : {Case{0x80000000, 1156, false}, Case{0x83000000, 1158, false},
                         Case{0x82000041, 1157, true}}) {
        SetVendor(0xD4, c.value);
        Read();
        EXPECT_TRUE(Radio(c.radio)->isChecked()) << std::hex << c.value;
        EXPECT_EQ(Slider(1169)->isEnabled(), c.levelEnabled) << std::hex << c.value;
        EXPECT_EQ(Label(1170)->isEnabled(), c.levelEnabled) << std::hex << c.value;
    }
    EXPECT_EQ(Text(1170), "65");
    Click(Radio(1158));
    EXPECT_EQ(Vendor(0xD4), kAutomatic);
    Click(Radio(1157));
    EXPECT_EQ(Vendor(0xD4), kOn + 65) << "MANUAL writes the level the slider kept";
    Press(Slider(1169), Qt::Key_Right);
    EXPECT_EQ(Vendor(0xD4), kOn + 66);
    Click(Radio(1156));
    EXPECT_EQ(Vendor(0xD4), kOff);

    for (const auto& [value, radio] : {std::pair{0x82000001u, 1153}, std::pair{0x80000001u, 1151},
                                       std::pair{0x82000000u, 1152}}) {
        SetVendor(0xA0, value);
        Read();
        EXPECT_TRUE(Radio(radio)->isChecked()) << std::hex << value;
    }
    const std::pair<int, DWORD> dnr[] = {{1153, kOn + 1}, {1152, kOn}, {1151, kOff}};
    for (const auto& [radio, value] : dnr) {
        Click(Radio(radio));
        EXPECT_EQ(Vendor(0xA0), value) << radio;
    }
}

TEST_F(MiscParamDlg, WhiteGateKeepsItsPositionsWhileOff) {
    SetVendor(0x98, kOn + 3 * 0x1000 + 64);
    Open();
    EXPECT_EQ(Text(1146), "3");
    EXPECT_EQ(Text(1155), "64");
    SetVendor(0x98, kOff + 0x80080);
    Read();
    EXPECT_TRUE(Radio(1142)->isChecked());
    EXPECT_FALSE(Slider(1148)->isEnabled());
    EXPECT_EQ(Text(1146), "3") << "read while OFF leaves H and V";
    Click(Radio(1144));
    EXPECT_EQ(Vendor(0x98), kOn + 3 * 0x1000 + 64);
    Press(Slider(1154), Qt::Key_Right);
    EXPECT_EQ(Vendor(0x98), kOn + 3 * 0x1000 + 65);
    Click(Radio(1142));
    EXPECT_EQ(Vendor(0x98), kOff + 3 * 0x1000 + 65);
    EXPECT_FALSE(Label(1155)->isEnabled());
}

TEST_F(MiscParamDlg, BlackBalanceAndOnePush) {
    Open();
    Press(Slider(1194), Qt::Key_Right);  // B
    EXPECT_EQ(Vendor(0x64), kOn + 129 * 0x1000 + 128);
    Press(Slider(1193), Qt::Key_Left);  // R
    EXPECT_EQ(Vendor(0x64), kOn + 129 * 0x1000 + 127);
    EXPECT_EQ(Text(1195), "129");
    EXPECT_EQ(Text(1196), "127");
    Click(Button(1197));
    // The camera found its neutral balance; the sliders change only on Read.
    EXPECT_EQ(Vendor(0x64), kOn + 0x80080);
    EXPECT_EQ(Text(1195), "129");
    Read();
    EXPECT_EQ(Text(1195), "128");
}

TEST_F(MiscParamDlg, SwitchesFlareAndPhase) {
    Open();
    struct Case {
        int on, off;
        DWORD offset;
    };
    for (const Case c : {Case{1172, 1171, 0xDC}, Case{1174, 1173, 0xE0}, Case{1177, 1176, 0xE4},
                         Case{1186, 1185, 0xF0}}) {
        Click(Radio(c.on));
        EXPECT_EQ(Vendor(c.offset), kOn) << c.on;
        Read();
        EXPECT_TRUE(Radio(c.on)->isChecked()) << c.on;
        Click(Radio(c.off));
        EXPECT_EQ(Vendor(c.offset), kOff) << c.off;
    }

    EXPECT_FALSE(Slider(1175)->isEnabled()) << "flare OFF";
    Click(Radio(1188));
    EXPECT_EQ(Vendor(0x68), kOn);
    Press(Slider(1175), Qt::Key_PageUp);
    EXPECT_EQ(Vendor(0x68), kOn + 10);
    EXPECT_EQ(Text(1178), "10");
    Click(Radio(1187));
    EXPECT_EQ(Vendor(0x68), kOff);
    EXPECT_FALSE(Label(1178)->isEnabled());

    Press(Slider(1180), Qt::Key_Right);
    EXPECT_EQ(Vendor(0xE8), kOn + 129);
    EXPECT_EQ(Text(1182), "129");
}

TEST_F(MiscParamDlg, FailuresLeaveOrRereadTheControls) {
    SetVendor(0xE0, kOn);
    FailNext(1000);
    Open();
    ClearFaults();
    EXPECT_TRUE(Radio(1173)->isChecked()) << "first state: OFF";
    EXPECT_EQ(Text(1182), "0");
    Read();
    EXPECT_TRUE(Radio(1174)->isChecked());
    FailNext(1);
    Click(Radio(1173));
    EXPECT_EQ(Vendor(0xE0), kOn);
    EXPECT_TRUE(Radio(1174)->isChecked()) << "the camera still shows a negative";
}

}  // namespace
