// "Detailed AE & SHARPNESS": auto exposure's peak/average, speed and gate, and the sharpness
// processing, all in vendor registers.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <array>
#include <functional>
#include <utility>
#include <vector>

#include "dialogs/CParamDialog.h"

class CAeSharpnessDlg : public CParamDialog {
    Q_OBJECT
public:
    explicit CAeSharpnessDlg(QWidget* parent = nullptr);

    void ReadAll() override;

private:
    static constexpr int kGateChecks = 9;  // "1" to "8" are the line's areas, "9" has no bit

    bool VendorOnly() const override { return true; }
    void BuildControls() override;
    void BuildGate(QGridLayout* ae);
    // A choice written as it is clicked; an on/off pair's onOffClick adjusts the controls first.
    CRadioGroup* AddChoice(QGridLayout* grid, const QString& caption, const QStringList& buttons,
                           std::vector<int> ids, DWORD offset,
                           std::function<void(bool on)> onOffClick = {});
    CValueSlider* AddLevel(QGridLayout* grid, const QString& caption, int labelId, int sliderId,
                           DWORD offset);

    // A choice register: bits 0-1 (3 shows the first), or bit 25 for an on/off pair.
    void ReadChoice(DWORD offset);
    void ReadLevel(DWORD offset);
    CRadioGroup* ChoiceAt(DWORD offset) const;
    CValueSlider* LevelAt(DWORD offset) const;
    void ReadGate();
    void ReadColorDetail();
    void RefreshGateChecks();
    void EnableGate(bool on);
    void EnableColorDetail(bool on);
    void OnGateCheck();
    // The selected line's register and the shift of its field; false without a valid line.
    bool SelectedLine(DWORD* offset, int* shift) const;

    CRadioGroup* m_gate = nullptr;
    QComboBox* m_line = nullptr;
    std::array<QCheckBox*, kGateChecks> m_checks{};
    CRadioGroup* m_colorDetail = nullptr;
    std::array<CValueSlider*, 3> m_colorLevels{};  // phase, width, level
    std::vector<std::pair<CRadioGroup*, DWORD>> m_choices;
    std::vector<std::pair<CValueSlider*, DWORD>> m_levels;
};
