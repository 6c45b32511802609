// The masking dialog against kestrix-busd: ON/OFF and its twelve rows, writes read back,
// crafted values, and an unreadable camera showing OFF and zeros.
#include <gtest/gtest.h>

#include <array>

#include "dialogs/CMaskingDlg.h"
#include "tests/dialogs/DialogTestSupport.h"

namespace {

using namespace dialogtest;

constexpr std::array<int, 12> kSliders{1104, 1107, 1112, 1117, 1119, 1123,
                                       1125, 1127, 1129, 1131, 1133, 1135};
constexpr std::array<int, 12> kLabels{1103, 1106, 1111, 1113, 1118, 1122,
                                      1124, 1126, 1128, 1130, 1132, 1134};
DWORD RowRegister(std::size_t row) { return 0x24 + 4 * DWORD(row); }

class MaskingDlg : public DialogTest<CMaskingDlg> {
protected:
    std::array<DWORD, 12> Rows() {
        std::array<DWORD, 12> rows{};
        for (std::size_t row = 0; row < rows.size(); ++row) rows[row] = Vendor(RowRegister(row));
        return rows;
    }
};

TEST_F(MaskingDlg, OffDisablesTheRowsAndOnWritesOnlyTheSwitch) {
    SetVendor(0x2C, 0x82000007);
    Open();
    EXPECT_EQ(m_dlg->windowTitle(), "MASKING");
    ASSERT_TRUE(Radio(1101)->isChecked());
    const auto before = Rows();
    for (std::size_t row = 0; row < 12; ++row) {
        EXPECT_FALSE(Slider(kSliders[row])->isEnabled()) << row;
        EXPECT_FALSE(Label(kLabels[row])->isEnabled()) << row;
        Press(Slider(kSliders[row]), Qt::Key_Right);
    }
    EXPECT_EQ(Rows(), before) << "a disabled row writes nothing";

    Click(Radio(1102));
    EXPECT_EQ(Vendor(0x20), kOn);
    EXPECT_EQ(Rows(), before);
    EXPECT_TRUE(Slider(1135)->isEnabled());

    // Each slider writes its own register and no other.
    for (std::size_t row = 0; row < 12; ++row) {
        auto expected = Rows();
        const int start = Slider(kSliders[row])->value();
        Press(Slider(kSliders[row]), Qt::Key_PageUp);
        expected[row] = kOn + DWORD(start + 16);
        EXPECT_EQ(Rows(), expected) << row;
        EXPECT_EQ(Text(kLabels[row]), QString::number(start + 16)) << row;
    }
    Click(Radio(1101));
    EXPECT_EQ(Vendor(0x20), kOff);
    EXPECT_FALSE(Slider(1104)->isEnabled());
}

TEST_F(MaskingDlg, ReadShowsTheLowByteAndAnUnreadableCameraAsOffAndZero) {
    SetVendor(0x20, kOn);
    SetVendor(0x24, 0x82000180);
    Open();
    EXPECT_TRUE(Radio(1102)->isChecked());
    EXPECT_EQ(Slider(1104)->value(), 128);
    EXPECT_EQ(Text(1103), "128");

    FailNext(1000);
    Read();
    ClearFaults();
    EXPECT_TRUE(Radio(1101)->isChecked());
    for (std::size_t row = 0; row < 12; ++row) {
        EXPECT_EQ(Text(kLabels[row]), "0") << row;
        EXPECT_FALSE(Slider(kSliders[row])->isEnabled()) << row;
    }
}

TEST_F(MaskingDlg, AFailedWriteShowsWhatTheCameraHolds) {
    SetVendor(0x20, kOn);
    Open();
    FailNext(1);
    Press(Slider(1107), Qt::Key_Right);
    EXPECT_EQ(Text(1106), "128");
    FailNext(1);
    Click(Radio(1101));
    EXPECT_TRUE(Radio(1102)->isChecked());
    EXPECT_TRUE(Slider(1107)->isEnabled());
}

}  // namespace
