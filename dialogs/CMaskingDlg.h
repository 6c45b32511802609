// "MASKING": colour masking on or off, and a saturation and a hue for each of six hues.
#pragma once

#include <array>

#include "dialogs/CParamDialog.h"

class CMaskingDlg : public CParamDialog {
    Q_OBJECT
public:
    explicit CMaskingDlg(QWidget* parent = nullptr);

    void ReadAll() override;

private:
    static constexpr int kRows = 12;  // six saturations, then six hues

    bool VendorOnly() const override { return true; }
    void BuildControls() override;
    void ReadOnOff();
    void ReadRow(int row);
    void EnableRows(bool on);

    CRadioGroup* m_onOff = nullptr;
    std::array<CValueSlider*, kRows> m_rows{};
};
