// "IIDC Standard Command": the camera's IIDC standard features, flash timing and auto shading,
// INITIALIZE and the memory SAVE.
#pragma once

#include <QLabel>

#include "dialogs/CParamDialog.h"

class CStandardFeatureDlg : public CParamDialog {
    Q_OBJECT
public:
    explicit CStandardFeatureDlg(QWidget* parent = nullptr);

    void ReadAll() override;
    // The exposure time of a shutter value: 2048 is 1/30 s, each step up shortens it by the
    // factor 0.99, each step down lengthens it by 1/15 s.
    static QString FormatShutterTime(int value);

private:
    void BuildControls() override;
    void BuildButtonColumn();

    // ReadAll's steps, one register each; also the re-read after a failed write.
    void ReadBrightness();
    void ReadSharpness();
    void ReadWhiteBalance();
    void ReadGain();
    void ReadShutter();
    void ReadAutoExposure();
    void ReadSaturation();
    void ReadGamma();
    void ReadTrigger();
    void ReadFlash();
    void ReadShading();
    void ShowWhiteBalanceMode(bool manual);

    void OnWhiteBalanceSlider();
    void OnWhiteBalanceMode(int index);
    void OnAwb();
    void OnGainMode(int index);
    void OnShutterSlider(int position);
    void OnShutterMode(int index);
    void OnFlash();
    void OnShading(int index);
    void OnAdjust();
    void OnInitialize();
    void OnSave();

    CValueSlider* m_brightness = nullptr;
    CValueSlider* m_sharpness = nullptr;
    CRadioGroup* m_wbMode = nullptr;
    QPushButton* m_awb = nullptr;
    CValueSlider* m_red = nullptr;
    CValueSlider* m_blue = nullptr;
    CRadioGroup* m_gainMode = nullptr;
    CValueSlider* m_gain = nullptr;
    CRadioGroup* m_shutterMode = nullptr;
    QLabel* m_shutterTime = nullptr;
    CValueSlider* m_shutter = nullptr;
    CValueSlider* m_autoExposure = nullptr;
    CValueSlider* m_saturation = nullptr;
    CRadioGroup* m_gamma = nullptr;
    CRadioGroup* m_trigger = nullptr;
    CRadioGroup* m_flashWidth = nullptr;
    CValueSlider* m_flashStart = nullptr;
    CRadioGroup* m_shading = nullptr;
    QPushButton* m_adjust = nullptr;
    QPushButton* m_initialize = nullptr;
};
