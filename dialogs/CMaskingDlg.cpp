// The masking dialog: vendor register 0x20 switches masking, 0x24 to 0x50 hold its twelve values.
#include "dialogs/CMaskingDlg.h"

#include <QHBoxLayout>
#include <QLabel>

namespace {

constexpr C1394Dcam::DWORD kOnOffRegister = 0x20;
constexpr C1394Dcam::DWORD kFirstValueRegister = 0x24;
constexpr CValueSlider::Range kRange{0, 255, 16, 16};

// Label and slider ids of each row: saturation R to M, then hue R to M.
struct RowIds {
    int label;
    int slider;
};
constexpr std::array<RowIds, 12> kRowIds{{{1103, 1104},
                                          {1106, 1107},
                                          {1111, 1112},
                                          {1113, 1117},
                                          {1118, 1119},
                                          {1122, 1123},
                                          {1124, 1125},
                                          {1126, 1127},
                                          {1128, 1129},
                                          {1130, 1131},
                                          {1132, 1133},
                                          {1134, 1135}}};

C1394Dcam::DWORD RowRegister(int row) { return kFirstValueRegister + 4 * C1394Dcam::DWORD(row); }

}  // namespace

CMaskingDlg::CMaskingDlg(QWidget* parent) : CParamDialog(parent, QStringLiteral("MASKING")) {}

void CMaskingDlg::BuildControls() {
    auto* top = new QGridLayout;
    Groups()->addLayout(top);
    m_onOff = AddRadios(top, "MASKING", {"OFF", "ON"}, {1101, 1102}, [this](int index) {
        EnableRows(index == 1);
        WriteVendor(kOnOffRegister, index == 1 ? kManual : kPresent, [this] { ReadOnOff(); });
    });

    auto* sides = new QHBoxLayout;
    Groups()->addLayout(sides);
    QGridLayout* saturation = AddGroup(" SATURATION (MASKING) ", sides);
    QGridLayout* hue = AddGroup(" HUE (MASKING) ", sides);
    const QStringList captions{"R", "Y", "G", "C", "B", "M"};
    for (int row = 0; row < kRows; ++row) {
        const RowIds ids = kRowIds[std::size_t(row)];
        m_rows[std::size_t(row)] =
            AddSlider(row < 6 ? saturation : hue, captions[row % 6], ids.slider, ids.label, kRange,
                      [this, row](int position) {
                          WriteVendor(RowRegister(row), kManual + DWORD(position),
                                      [this, row] { ReadRow(row); });
                      });
    }

    ButtonColumn()->addWidget(ReadButton());
    ButtonColumn()->addWidget(CloseButton());
    ButtonColumn()->addStretch();
}

void CMaskingDlg::ReadAll() {
    ReadOnOff();
    for (int row = 0; row < kRows; ++row) ReadRow(row);
}

void CMaskingDlg::ReadOnOff() {
    // Unlike the other dialogs, an unreadable masking shows as OFF and its rows as 0.
    DWORD value = 0;
    const bool on = ReadVendor(kOnOffRegister, &value) && (value & kOn);
    m_onOff->SetIndex(on ? 1 : 0);
    EnableRows(on);
}

void CMaskingDlg::ReadRow(int row) {
    DWORD value = 0;
    if (!ReadVendor(RowRegister(row), &value)) value = 0;
    m_rows[std::size_t(row)]->Show(int(value & 0xFF));
}

void CMaskingDlg::EnableRows(bool on) {
    for (auto* row : m_rows) row->SetEnabled(on);
}
