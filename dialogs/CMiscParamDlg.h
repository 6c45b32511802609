// "Misc. Parameters": black balance, flare, white gate, DNR, knee, colour bars, negative, GL IN
// 75 ohm, H phase and pixel concentration, all in vendor registers.
#pragma once

#include <utility>
#include <vector>

#include "dialogs/CParamDialog.h"

class CMiscParamDlg : public CParamDialog {
    Q_OBJECT
public:
    explicit CMiscParamDlg(QWidget* parent = nullptr);

    void ReadAll() override;

private:
    bool VendorOnly() const override { return true; }
    void BuildControls() override;
    // An OFF/ON pair in bit 25 with nothing else on it.
    void AddSwitch(const QString& caption, int firstId, DWORD offset);

    void ReadBlackBalance();
    void ReadFlare();
    void ReadWhiteGate();
    void ReadDnr();
    void ReadKnee();
    void ReadSwitch(DWORD offset);
    void ReadPhase();

    void WriteBlackBalance();
    void WriteFlare(bool on);
    void WriteWhiteGate(bool on);
    void WriteKnee(int index);
    void EnableWhiteGate(bool on);

    CValueSlider* m_blackBlue = nullptr;
    CValueSlider* m_blackRed = nullptr;
    CRadioGroup* m_flare = nullptr;
    CValueSlider* m_flareLevel = nullptr;
    CRadioGroup* m_whiteGate = nullptr;
    CValueSlider* m_gateH = nullptr;
    CValueSlider* m_gateV = nullptr;
    CRadioGroup* m_dnr = nullptr;
    CRadioGroup* m_knee = nullptr;
    CValueSlider* m_kneeLevel = nullptr;
    std::vector<std::pair<CRadioGroup*, DWORD>> m_switches;  // BAR, NEGA, GL IN, PIXEL CONC.
    CValueSlider* m_phase = nullptr;
};
