// One standard feature's controls in the Features panel: its mode (Manual, Auto, One-push, Off
// as the camera offers them), its raw value as a slider and a number (white balance: U/B and
// V/R), and where the camera has absolute registers its value in real units beside. Every
// change is written at once and the register read back, so the controls always show what the
// camera holds, a refused or failed write included.
//
// Threading: the GUI thread only, which must also be the camera object's owner thread.
#pragma once

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QLabel>
#include <QObject>
#include <QSlider>
#include <QSpinBox>

#include "camera/FeatureAccess.h"

class CFeatureRow : public QObject {
    Q_OBJECT
public:
    // Adds the row's controls to grid from row on (white balance takes two rows), as children of
    // parent, named "<kind><feature>": mode, slider, value, high (U/B), absolute.
    CFeatureRow(QWidget* parent, QGridLayout* grid, int row, FeatureAccess& access, int feature,
                const FeatureAccess::Offer& offer);

    int Feature() const { return m_nFeature; }
    // Reads the register into the controls; false when the read failed (the controls stay).
    bool Read();
    // The camera is adjusting the value by itself (automatic, or a one-push still running).
    bool Adjusting() const;

private:
    // Not kAuto and kOnePush: those name the register bits.
    enum Mode { kModeManual, kModeAuto, kModeOnePush, kModeOff };

    QSpinBox* AddValue(QGridLayout* grid, int row, const QString& caption, const char* kind,
                       QSlider*& slider);
    void Show(const FeatureAccess::State& state);
    void WriteControl(FeatureAccess::DWORD control);
    void OnMode(int index);
    void OnRaw();
    void OnAbsolute(double shown);
    // The factor from the camera's unit to the one shown (shutter: seconds shown in ms).
    double ShownPerUnit() const;

    FeatureAccess& m_access;
    int m_nFeature;
    FeatureAccess::Offer m_offer;
    FeatureAccess::State m_state;
    QComboBox* m_mode;
    QSlider* m_slider;
    QSpinBox* m_value;
    QSlider* m_highSlider = nullptr;  // white balance U/B
    QSpinBox* m_high = nullptr;
    QDoubleSpinBox* m_absolute = nullptr;
};
