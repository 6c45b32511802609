// The detailed AE and sharpness dialog: vendor registers 0x70 to 0x88 and 0xB0 to 0xD0.
#include "dialogs/CAeSharpnessDlg.h"

#include <QLabel>
#include <algorithm>

namespace {

constexpr C1394Dcam::DWORD kPeakAverage = 0x70, kSpeed = 0x74, kGate = 0x78;
constexpr C1394Dcam::DWORD kFirstGateLine = 0x7C;  // lines 1 and 2; 3 and 4 at 0x80, ...
constexpr C1394Dcam::DWORD kFrequency = 0xB0, kLevelDepend = 0xB4, kClisp = 0xB8;
constexpr C1394Dcam::DWORD kBalance = 0xBC, kColorDetail = 0xC0, kPhase = 0xC4, kWidth = 0xC8;
constexpr C1394Dcam::DWORD kColorLevel = 0xCC, kHighChroma = 0xD0;
constexpr CValueSlider::Range kRange{0, 255, 10, 16};
constexpr C1394Dcam::DWORD kLineField = 0xFFF;
constexpr int kLines = 8;

// The gate grid as it stands, row by row: caption number (1..9) and id.
struct GateCheck {
    int number;
    int id;
};
constexpr std::array<GateCheck, 9> kGateGrid{{{6, 1165},
                                              {5, 1164},
                                              {4, 1163},
                                              {2, 1161},
                                              {1, 1160},
                                              {3, 1162},
                                              {7, 1166},
                                              {8, 1167},
                                              {9, 1168}}};

}  // namespace

CAeSharpnessDlg::CAeSharpnessDlg(QWidget* parent)
    : CParamDialog(parent, QStringLiteral("Detailed AE & SHARPNESS")) {}

void CAeSharpnessDlg::BuildControls() {
    QGridLayout* ae = AddGroup(" AE ");
    AddChoice(ae, "PEAK/AVERAGE", {"0-0/100", "1-25/75", "2-50/50"}, Ids(1108, 3), kPeakAverage);
    AddChoice(ae, "SPEED", {"SLOW", "MID", "FAST"}, Ids(1114, 3), kSpeed);
    m_gate = AddChoice(ae, "GATE", {"OFF", "ON"}, Ids(1120, 2), kGate, [this](bool on) {
        EnableGate(on);
        if (on) RefreshGateChecks();
    });
    BuildGate(ae);

    QGridLayout* sharpness = AddGroup(" SHARPNESS ");
    AddChoice(sharpness, "FREQ", {"LOW", "MID", "HIGH"}, Ids(1136, 3), kFrequency);
    AddLevel(sharpness, "LEVEL DEPEND.", 1139, 1140, kLevelDepend);
    AddLevel(sharpness, "CLISP", 1141, 1143, kClisp);
    AddLevel(sharpness, "H/V BALANCE", 1145, 1147, kBalance);
    m_colorDetail = AddChoice(sharpness, "COLOR DTL", {"OFF", "ON"}, {1149, 1150}, kColorDetail,
                              [this](bool on) {
                                  EnableColorDetail(on);
                                  if (on)
                                      for (const DWORD offset : {kPhase, kWidth, kColorLevel})
                                          ReadLevel(offset);
                              });
    m_colorLevels = {AddLevel(sharpness, "PHASE", 1175, 1178, kPhase),
                     AddLevel(sharpness, "WIDTH", 1179, 1181, kWidth),
                     AddLevel(sharpness, "LEVEL", 1183, 1184, kColorLevel)};
    AddChoice(sharpness, "HIGH CHROMA", {"OFF", "ON"}, {1189, 1190}, kHighChroma);

    ButtonColumn()->addWidget(ReadButton());
    ButtonColumn()->addStretch();
    ButtonColumn()->addWidget(CloseButton());
}

void CAeSharpnessDlg::BuildGate(QGridLayout* ae) {
    m_line = new QComboBox(this);
    m_line->setObjectName("combo1159");
    for (int line = 1; line <= kLines; ++line) m_line->addItem(QStringLiteral("line%1").arg(line));
    // Choosing a line only shows its areas; nothing is written.
    connect(m_line, &QComboBox::currentIndexChanged, this, [this] { RefreshGateChecks(); });
    const int row = ae->rowCount();
    ae->addWidget(new QLabel("  Line No.", this), row, 0);
    ae->addWidget(m_line, row, 1, Qt::AlignLeft);

    auto* grid = new QGridLayout;
    for (std::size_t i = 0; i < kGateGrid.size(); ++i) {
        auto* check = new QCheckBox(QString::number(kGateGrid[i].number), this);
        check->setObjectName(QStringLiteral("check%1").arg(kGateGrid[i].id));
        connect(check, &QCheckBox::clicked, this, [this] { OnGateCheck(); });
        m_checks[std::size_t(kGateGrid[i].number - 1)] = check;
        grid->addWidget(check, int(i / 3), int(i % 3));
    }
    ae->addLayout(grid, row + 1, 1, Qt::AlignLeft);
}

CRadioGroup* CAeSharpnessDlg::AddChoice(QGridLayout* grid, const QString& caption,
                                        const QStringList& buttons, std::vector<int> ids,
                                        DWORD offset, std::function<void(bool on)> onOffClick) {
    const bool onOff = buttons.size() == 2;
    auto* group = AddRadios(grid, caption, buttons, std::move(ids), [=, this](int index) {
        if (onOffClick) onOffClick(index == 1);
        const DWORD value = onOff ? (index == 1 ? kManual : kPresent) : kPresent + DWORD(index);
        WriteVendor(offset, value, [this, offset] { ReadChoice(offset); });
    });
    group->SetIndex(0);
    m_choices.emplace_back(group, offset);
    return group;
}

CValueSlider* CAeSharpnessDlg::AddLevel(QGridLayout* grid, const QString& caption, int labelId,
                                        int sliderId, DWORD offset) {
    auto* level = AddSlider(grid, caption, sliderId, labelId, kRange, [this, offset](int position) {
        WriteVendor(offset, kManual + DWORD(position), [this, offset] { ReadLevel(offset); });
    });
    level->Show(0);
    m_levels.emplace_back(level, offset);
    return level;
}

CRadioGroup* CAeSharpnessDlg::ChoiceAt(DWORD offset) const {
    const auto it = std::find_if(m_choices.begin(), m_choices.end(),
                                 [offset](const auto& choice) { return choice.second == offset; });
    return it->first;
}

CValueSlider* CAeSharpnessDlg::LevelAt(DWORD offset) const {
    const auto it = std::find_if(m_levels.begin(), m_levels.end(),
                                 [offset](const auto& level) { return level.second == offset; });
    return it->first;
}

void CAeSharpnessDlg::ReadAll() {
    ReadChoice(kPeakAverage);
    ReadChoice(kSpeed);
    ReadChoice(kGate);
    ReadChoice(kFrequency);
    for (const DWORD offset : {kLevelDepend, kClisp, kBalance}) ReadLevel(offset);
    ReadChoice(kColorDetail);
    ReadChoice(kHighChroma);
}

void CAeSharpnessDlg::ReadChoice(DWORD offset) {
    DWORD value = 0;
    if (!ReadVendor(offset, &value)) return;
    CRadioGroup* group = ChoiceAt(offset);
    if (offset == kGate || offset == kColorDetail || offset == kHighChroma) {
        const bool on = value & kOn;
        group->SetIndex(on ? 1 : 0);
        if (offset == kGate) {
            EnableGate(on);
            if (on) RefreshGateChecks();
        } else if (offset == kColorDetail) {
            EnableColorDetail(on);
            if (on)
                for (const DWORD level : {kPhase, kWidth, kColorLevel}) ReadLevel(level);
        }
        return;
    }
    const int index = int(value & 3);
    group->SetIndex(index == 3 ? 0 : index);
}

void CAeSharpnessDlg::ReadLevel(DWORD offset) {
    DWORD value = 0;
    if (ReadVendor(offset, &value)) LevelAt(offset)->Show(int(value & 0xFF));
}

bool CAeSharpnessDlg::SelectedLine(DWORD* offset, int* shift) const {
    const int line = m_line->currentIndex();
    if (line < 0 || line >= kLines) return false;
    *offset = kFirstGateLine + 4 * DWORD(line / 2);
    *shift = line % 2 == 0 ? 12 : 0;  // odd-numbered lines in the upper field
    return true;
}

void CAeSharpnessDlg::RefreshGateChecks() {
    DWORD offset = 0;
    int shift = 0;
    DWORD value = 0;
    DWORD areas = 0;
    if (SelectedLine(&offset, &shift) && ReadVendor(offset, &value)) areas = value >> shift & 0xFF;
    for (int bit = 0; bit < 8; ++bit) m_checks[std::size_t(bit)]->setChecked(areas >> bit & 1);
}

void CAeSharpnessDlg::OnGateCheck() {
    DWORD offset = 0;
    int shift = 0;
    DWORD value = 0;
    if (!SelectedLine(&offset, &shift)) return;
    if (!ReadVendor(offset, &value)) {
        RefreshGateChecks();  // nothing was written: show what the camera holds, if anything
        return;
    }
    DWORD areas = 0;
    for (int bit = 0; bit < 8; ++bit)
        if (m_checks[std::size_t(bit)]->isChecked()) areas |= 1u << bit;
    value = (value & ~(kLineField << shift)) | areas << shift;
    WriteVendor(offset, value, [this] { RefreshGateChecks(); });
}

void CAeSharpnessDlg::EnableGate(bool on) {
    m_line->setEnabled(on);
    for (auto* check : m_checks) check->setEnabled(on);
}

void CAeSharpnessDlg::EnableColorDetail(bool on) {
    for (auto* level : m_colorLevels) level->SetEnabled(on);
}
