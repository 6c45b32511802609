// The miscellaneous parameters dialog: vendor registers 0x64 to 0xF0.
#include "dialogs/CMiscParamDlg.h"

namespace {

constexpr C1394Dcam::DWORD kBlackBalance = 0x64, kFlare = 0x68, kWhiteGate = 0x98, kDnr = 0xA0;
constexpr C1394Dcam::DWORD kKnee = 0xD4, kBar = 0xDC, kNega = 0xE0, kGlIn = 0xE4;
constexpr C1394Dcam::DWORD kPhase = 0xE8, kPixelConc = 0xF0;
constexpr CValueSlider::Range kRange{0, 255, 10, 16};

enum KneeMode { kKneeOff = 0, kKneeManual = 1, kKneeAuto = 2 };

}  // namespace

CMiscParamDlg::CMiscParamDlg(QWidget* parent)
    : CParamDialog(parent, QStringLiteral("Misc. Parameters")) {}

void CMiscParamDlg::BuildControls() {
    QGridLayout* black = AddGroup("BLACK BALANCE");
    black->addWidget(MakeButton("One Push", 1197,
                                [this] {
                                    // The sliders keep their positions until the next Read.
                                    WriteVendor(kBlackBalance, kManual | kOnePush,
                                                [this] { ReadBlackBalance(); });
                                }),
                     0, 1, Qt::AlignLeft);
    m_blackBlue = AddSlider(black, "B", 1194, 1195, kRange, [this](int) { WriteBlackBalance(); });
    m_blackRed = AddSlider(black, "R", 1193, 1196, kRange, [this](int) { WriteBlackBalance(); });

    QGridLayout* flare = AddGroup("FLARE");
    m_flare = AddRadios(flare, {}, {"OFF", "ON"}, {1187, 1188},
                        [this](int index) { WriteFlare(index == 1); });
    m_flareLevel = AddSlider(flare, {}, 1175, 1178, kRange, [this](int) { WriteFlare(true); });

    QGridLayout* gate = AddGroup("WHITE GATE");
    m_whiteGate = AddRadios(gate, {}, {"OFF", "ON"}, {1142, 1144},
                            [this](int index) { WriteWhiteGate(index == 1); });
    m_gateH = AddSlider(gate, "H", 1148, 1146, kRange, [this](int) { WriteWhiteGate(true); });
    m_gateV = AddSlider(gate, "V", 1154, 1155, kRange, [this](int) { WriteWhiteGate(true); });

    m_dnr =
        AddRadios(AddGroup("DNR"), {}, {"OFF", "MODE1", "MODE2"}, Ids(1151, 3), [this](int index) {
            const DWORD value = index == 0 ? kPresent : kManual + DWORD(index - 1);
            WriteVendor(kDnr, value, [this] { ReadDnr(); });
        });

    QGridLayout* knee = AddGroup("KNEE");
    m_knee = AddRadios(knee, {}, {"OFF", "MANUAL", "AUTO"}, Ids(1156, 3),
                       [this](int index) { WriteKnee(index); });
    m_kneeLevel = AddSlider(knee, {}, 1169, 1170, kRange, [this](int) { WriteKnee(kKneeManual); });

    AddSwitch("BAR", 1171, kBar);
    AddSwitch("NEGA", 1173, kNega);
    AddSwitch("GL IN 75 ohm", 1176, kGlIn);
    m_phase = AddSlider(AddGroup("H PHASE"), {}, 1180, 1182, kRange, [this](int position) {
        WriteVendor(kPhase, kManual + DWORD(position), [this] { ReadPhase(); });
    });
    AddSwitch("PIXEL CONC.", 1185, kPixelConc);

    for (CRadioGroup* group : {m_flare, m_whiteGate, m_dnr, m_knee}) group->SetIndex(0);
    for (CValueSlider* slider :
         {m_blackBlue, m_blackRed, m_flareLevel, m_gateH, m_gateV, m_kneeLevel, m_phase})
        slider->Show(0);

    ButtonColumn()->addWidget(ReadButton());
    ButtonColumn()->addStretch();
    ButtonColumn()->addWidget(CloseButton());
}

void CMiscParamDlg::AddSwitch(const QString& caption, int firstId, DWORD offset) {
    auto* group =
        AddRadios(AddGroup(caption), {}, {"OFF", "ON"}, Ids(firstId, 2), [this, offset](int index) {
            WriteVendor(offset, index == 1 ? kManual : kPresent,
                        [this, offset] { ReadSwitch(offset); });
        });
    group->SetIndex(0);
    m_switches.emplace_back(group, offset);
}

void CMiscParamDlg::ReadAll() {
    ReadBlackBalance();
    ReadFlare();
    ReadWhiteGate();
    ReadDnr();
    ReadKnee();
    for (const DWORD offset : {kBar, kNega, kGlIn}) ReadSwitch(offset);
    ReadPhase();
    ReadSwitch(kPixelConc);
}

void CMiscParamDlg::ReadBlackBalance() {
    DWORD value = 0;
    if (!ReadVendor(kBlackBalance, &value)) return;
    m_blackBlue->Show(int(value >> 12 & 0xFF));
    m_blackRed->Show(int(value & 0xFF));
}

void CMiscParamDlg::ReadFlare() {
    DWORD value = 0;
    if (!ReadVendor(kFlare, &value)) return;
    const bool on = value & kOn;
    m_flare->SetIndex(on ? 1 : 0);
    if (on) m_flareLevel->Show(int(value & 0xFF));
    m_flareLevel->SetEnabled(on);
}

void CMiscParamDlg::ReadWhiteGate() {
    DWORD value = 0;
    if (!ReadVendor(kWhiteGate, &value)) return;
    const bool on = value & kOn;
    m_whiteGate->SetIndex(on ? 1 : 0);
    EnableWhiteGate(on);
    if (!on) return;  // the positions a later ON writes stay as they were
    m_gateH->Show(int(value >> 12 & 0xFF));
    m_gateV->Show(int(value & 0xFF));
}

void CMiscParamDlg::ReadDnr() {
    DWORD value = 0;
    if (ReadVendor(kDnr, &value)) m_dnr->SetIndex(value & kOn ? 1 + int(value & 1) : 0);
}

void CMiscParamDlg::ReadKnee() {
    DWORD value = 0;
    if (!ReadVendor(kKnee, &value)) return;
    const int mode = !(value & kOn) ? kKneeOff : (value & kAuto) ? kKneeAuto : kKneeManual;
    m_knee->SetIndex(mode);
    if (mode == kKneeManual) m_kneeLevel->Show(int(value & 0xFF));
    m_kneeLevel->SetEnabled(mode == kKneeManual);
}

void CMiscParamDlg::ReadSwitch(DWORD offset) {
    DWORD value = 0;
    if (!ReadVendor(offset, &value)) return;
    for (const auto& [group, at] : m_switches)
        if (at == offset) group->SetIndex(value & kOn ? 1 : 0);
}

void CMiscParamDlg::ReadPhase() {
    DWORD value = 0;
    if (ReadVendor(kPhase, &value)) m_phase->Show(int(value & 0xFF));
}

void CMiscParamDlg::WriteBlackBalance() {
    const DWORD value =
        kManual + DWORD(m_blackBlue->Position()) * 0x1000 + DWORD(m_blackRed->Position());
    WriteVendor(kBlackBalance, value, [this] { ReadBlackBalance(); });
}

void CMiscParamDlg::WriteFlare(bool on) {
    m_flareLevel->SetEnabled(on);
    WriteVendor(kFlare, on ? kManual + DWORD(m_flareLevel->Position()) : kPresent,
                [this] { ReadFlare(); });
}

void CMiscParamDlg::WriteWhiteGate(bool on) {
    EnableWhiteGate(on);
    const DWORD value = (on ? kManual : kPresent) + DWORD(m_gateH->Position()) * 0x1000 +
                        DWORD(m_gateV->Position());
    WriteVendor(kWhiteGate, value, [this] { ReadWhiteGate(); });
}

void CMiscParamDlg::WriteKnee(int index) {
    m_kneeLevel->SetEnabled(index == kKneeManual);
    const DWORD value = index == kKneeOff      ? kPresent
                        : index == kKneeManual ? kManual + DWORD(m_kneeLevel->Position())
                                               : kManual | kAuto;
    WriteVendor(kKnee, value, [this] { ReadKnee(); });
}

void CMiscParamDlg::EnableWhiteGate(bool on) {
    m_gateH->SetEnabled(on);
    m_gateV->SetEnabled(on);
}
