// The modal "VIDEO SETTING" dialog: image size, colour and frame rate of the next connection.
#pragma once

#include <QDialog>

#include "app/ViewerPrompts.h"

class QButtonGroup;
class QRadioButton;

class CVideoSettingDlg : public QDialog {
    Q_OBJECT
public:
    explicit CVideoSettingDlg(QWidget* parent = nullptr);

    // The mode derived from the choice; meaningful after OK.
    ViewerPrompts::VideoChoice Result() const;
    static ViewerPrompts::VideoChoice ChoiceFor(int size, int color, int rate);

    // The radio buttons, for tests and keyboard use: size 0..3, colour 0..1, rate 0..3.
    QRadioButton* SizeButton(int index) const;
    QRadioButton* ColorButton(int index) const;
    QRadioButton* RateButton(int index) const;

    int m_nSize = 0;
    int m_nColor = 0;
    int m_nRate = 3;

private:
    // Enables the rates the chosen size and colour allow and moves a disabled choice.
    void UpdateRateButtons();
    void ReadControls();
    void WriteControls();

    QButtonGroup* m_pSizeGroup;
    QButtonGroup* m_pColorGroup;
    QButtonGroup* m_pRateGroup;
};
