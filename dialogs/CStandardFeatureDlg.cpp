// The standard feature dialog: feature registers 0x800 + 4n, vendor flash and shading.
#include "dialogs/CStandardFeatureDlg.h"

#include <QApplication>
#include <QThread>
#include <algorithm>
#include <cmath>

#include "dialogs/WaitCursor.h"

namespace {

enum Feature {
    kBrightness = 0,
    kAutoExposure = 1,
    kSharpness = 2,
    kWhiteBalance = 3,
    kSaturation = 5,
    kGamma = 6,
    kShutter = 7,
    kGain = 8,
    kTrigger = 12
};
constexpr C1394Dcam::DWORD kFlashRegister = 0x18;
constexpr C1394Dcam::DWORD kShadingRegister = 0x60;
constexpr C1394Dcam::DWORD kInitializeRegister = 0x000;
constexpr int kSaveChannel = 1;
constexpr unsigned long kInitializePauseMs = 5000;

constexpr CValueSlider::Range kByteRange{0, 255, 10, 16};
constexpr CValueSlider::Range kGainRange{0, 192, 10, 12};
constexpr CValueSlider::Range kShutterRange{1988, 2855, 40, 54};
constexpr CValueSlider::Range kFlashRange{0, 3640, 100, 228};

enum ShutterMode { kShutterAuto = 0, kShutterManual = 1, kShutterOff = 2 };

QString Hex(int value) { return QString::asprintf("%03Xh", value); }

}  // namespace

CStandardFeatureDlg::CStandardFeatureDlg(QWidget* parent)
    : CParamDialog(parent, QStringLiteral("IIDC Standard Command")) {}

QString CStandardFeatureDlg::FormatShutterTime(int value) {
    if (value >= 2048) return QString::asprintf("1/%.3fsec", 30.0 / std::pow(0.99, value - 2048));
    if (value > 2033) return QString::asprintf("1/%.3fsec", 15.0 / (2048 - value));
    return QString::asprintf("%.3fsec", (2048 - value) * 0.06666666666666667);
}

void CStandardFeatureDlg::BuildControls() {
    const auto featureSlider = [this](QGridLayout* grid, int sliderId, int labelId, int feature,
                                      CValueSlider::Range range,
                                      void (CStandardFeatureDlg::*reread)()) {
        return AddSlider(grid, {}, sliderId, labelId, range, [this, feature, reread](int position) {
            WriteFeature(feature, kManual + DWORD(position), [this, reread] { (this->*reread)(); });
        });
    };
    m_brightness = featureSlider(AddGroup("BRIGHTNESS"), 1037, 1060, kBrightness, kByteRange,
                                 &CStandardFeatureDlg::ReadBrightness);
    m_sharpness = featureSlider(AddGroup("SHARPNESS"), 1038, 1062, kSharpness, kByteRange,
                                &CStandardFeatureDlg::ReadSharpness);

    QGridLayout* wb = AddGroup("WHITE BALANCE");
    m_wbMode = AddRadios(wb, "MODE", {"AUTO", "MANUAL"}, {1052, 1053},
                         [this](int index) { OnWhiteBalanceMode(index); });
    m_awb = MakeButton("AWB", 1048, [this] { OnAwb(); });
    m_wbMode->Layout()->addWidget(m_awb);
    m_red =
        AddSlider(wb, "R GAIN", 1039, 1064, kByteRange, [this](int) { OnWhiteBalanceSlider(); });
    m_blue =
        AddSlider(wb, "B GAIN", 1040, 1066, kByteRange, [this](int) { OnWhiteBalanceSlider(); });

    QGridLayout* gain = AddGroup("GAIN");
    m_gainMode = AddRadios(gain, "MODE", {"AUTO", "MANUAL"}, {1058, 1059},
                           [this](int index) { OnGainMode(index); });
    m_gain = AddSlider(gain, "MANUAL GAIN", 1041, 1067, kGainRange, [this](int position) {
        WriteFeature(kGain, kManual + DWORD(position), [this] { ReadGain(); });
    });

    QGridLayout* shutter = AddGroup("SHUTTER");
    m_shutterMode = AddRadios(shutter, "MODE", {"AUTO", "MANUAL", "OFF"}, Ids(1013, 3),
                              [this](int index) { OnShutterMode(index); });
    m_shutterTime = new QLabel(this);
    m_shutterTime->setObjectName("label1076");
    shutter->addWidget(m_shutterTime, shutter->rowCount(), 1);
    m_shutter = AddSlider(
        shutter, "SHUTTER SPEED", 1072, 1070, kShutterRange,
        [this](int position) { OnShutterSlider(position); }, Hex);

    m_autoExposure = featureSlider(AddGroup("AUTO EXPOSURE"), 1073, 1085, kAutoExposure, kByteRange,
                                   &CStandardFeatureDlg::ReadAutoExposure);
    m_saturation = featureSlider(AddGroup("SATURATION"), 1074, 1086, kSaturation, kByteRange,
                                 &CStandardFeatureDlg::ReadSaturation);

    m_gamma = AddRadios(AddGroup("GAMMA"), {}, {"OFF", "ON(1)", "ON(2)", "ON(3)"}, Ids(1087, 4),
                        [this](int index) {
                            const DWORD value = index == 0 ? kPresent : kManual + DWORD(index - 1);
                            WriteFeature(kGamma, value, [this] { ReadGamma(); });
                        });
    m_trigger = AddRadios(
        AddGroup("TRIGGER"), {}, {"OFF", "MODE0", "MODE1"}, Ids(1091, 3), [this](int index) {
            const DWORD value = index == 0 ? kPresent : kManual + DWORD(index - 1);
            WriteFeature(kTrigger, value, [this] { ReadTrigger(); });
        });

    QGridLayout* flash = AddGroup("FLASH");
    NeedsVendorRegisters(flash);
    m_flashWidth = AddRadios(flash, "WIDTH", {"NARROW", "MIDDLE", "WIDE"}, Ids(1098, 3),
                             [this](int) { OnFlash(); });
    m_flashStart = AddSlider(flash, "START", 1096, 1095, kFlashRange, [this](int) { OnFlash(); });

    QGridLayout* shading = AddGroup("AUTO SHADING");
    NeedsVendorRegisters(shading);
    m_shading = AddRadios(shading, {}, {"OFF", "COLOR", "LUMINUNCE", "FLAT"}, Ids(1081, 4),
                          [this](int index) { OnShading(index); });
    m_adjust = MakeButton("ADJUST", 1055, [this] { OnAdjust(); });
    m_shading->Layout()->addWidget(m_adjust);

    BuildButtonColumn();
}

void CStandardFeatureDlg::BuildButtonColumn() {
    QBoxLayout* column = ButtonColumn();
    column->addWidget(ReadButton());
    auto* memory = new QGroupBox("MEMORY", this);
    auto* memoryLayout = new QVBoxLayout(memory);
    m_initialize = MakeButton("INITIALIZE", 1075, [this] { OnInitialize(); });
    memoryLayout->addWidget(m_initialize);
    memoryLayout->addWidget(MakeButton("SAVE", 1105, [this] { OnSave(); }));
    column->addWidget(memory);
    column->addStretch();
    column->addWidget(CloseButton());
}

void CStandardFeatureDlg::ReadAll() {
    ReadBrightness();
    ReadSharpness();
    ReadWhiteBalance();
    ReadGain();
    ReadShutter();
    ReadAutoExposure();
    ReadSaturation();
    ReadGamma();
    ReadTrigger();
    ReadFlash();
    ReadShading();
}

void CStandardFeatureDlg::ReadBrightness() {
    DWORD value = 0;
    if (ReadFeature(kBrightness, &value)) m_brightness->Show(int(value & 0xFF));
}

void CStandardFeatureDlg::ReadSharpness() {
    DWORD value = 0;
    if (ReadFeature(kSharpness, &value)) m_sharpness->Show(int(value & 0xFF));
}

void CStandardFeatureDlg::ReadWhiteBalance() {
    DWORD value = 0;
    if (!ReadFeature(kWhiteBalance, &value)) return;
    m_red->Show(int(value & 0xFF));
    m_blue->Show(int(value >> 12 & 0xFF));
    const bool manual = !(value & kAuto);
    m_wbMode->SetIndex(manual ? 1 : 0);
    m_red->SetEnabled(manual);
    m_blue->SetEnabled(manual);
}

void CStandardFeatureDlg::ReadGain() {
    DWORD value = 0;
    if (!ReadFeature(kGain, &value)) return;
    // The gain field is the 12-bit value field the slider writes.
    m_gain->Show(int(value & 0xFFF));
    const bool manual = !(value & kAuto);
    m_gainMode->SetIndex(manual ? 1 : 0);
    m_gain->SetEnabled(manual);
}

void CStandardFeatureDlg::ReadShutter() {
    DWORD value = 0;
    if (!ReadFeature(kShutter, &value)) return;
    const int speed = int(value & 0xFFF);
    m_shutter->Show(speed);
    if (!(value & kOn)) {
        m_shutterMode->SetIndex(kShutterOff);
        m_shutter->Slider()->setEnabled(false);
    } else if (value & kAuto) {
        m_shutterMode->SetIndex(kShutterAuto);
        m_shutter->SetEnabled(false);
    } else {
        m_shutterMode->SetIndex(kShutterManual);
        m_shutter->SetEnabled(true);
    }
    m_shutterTime->setText(FormatShutterTime(speed));
}

void CStandardFeatureDlg::ReadAutoExposure() {
    DWORD value = 0;
    if (ReadFeature(kAutoExposure, &value)) m_autoExposure->Show(int(value & 0xFF));
}

void CStandardFeatureDlg::ReadSaturation() {
    DWORD value = 0;
    if (ReadFeature(kSaturation, &value)) m_saturation->Show(int(value & 0xFF));
}

void CStandardFeatureDlg::ReadGamma() {
    DWORD value = 0;
    if (ReadFeature(kGamma, &value)) m_gamma->SetIndex(value & kOn ? 1 + int(value & 3) : 0);
}

void CStandardFeatureDlg::ReadTrigger() {
    DWORD value = 0;
    if (ReadFeature(kTrigger, &value)) m_trigger->SetIndex(value & kOn ? 1 + int(value & 1) : 0);
}

void CStandardFeatureDlg::ReadFlash() {
    DWORD value = 0;
    if (!ReadVendor(kFlashRegister, &value)) return;
    m_flashStart->Show(int(value & 0xFFF));
    const int width = int(value >> 12 & 3);
    m_flashWidth->SetIndex(width == 3 ? 0 : width);
}

void CStandardFeatureDlg::ReadShading() {
    DWORD value = 0;
    if (!ReadVendor(kShadingRegister, &value)) return;
    const bool on = value & kOn;
    m_shading->SetIndex(on ? 1 + int(value & 3) : 0);
    m_adjust->setEnabled(on);
}

void CStandardFeatureDlg::ShowWhiteBalanceMode(bool manual) {
    m_red->SetEnabled(manual);
    m_blue->SetEnabled(manual);
    m_awb->setEnabled(manual);
}

void CStandardFeatureDlg::OnWhiteBalanceSlider() {
    const DWORD value = kManual + DWORD(m_blue->Position()) * 0x1000 + DWORD(m_red->Position());
    WriteFeature(kWhiteBalance, value, [this] { ReadWhiteBalance(); });
}

void CStandardFeatureDlg::OnWhiteBalanceMode(int index) {
    DWORD value = kManual;
    if (!ReadFeature(kWhiteBalance, &value)) value = kManual;
    value = index == 0 ? value | kAuto : value & ~kAuto;
    ShowWhiteBalanceMode(index == 1);
    WriteFeature(kWhiteBalance, value, [this] { ReadWhiteBalance(); });
}

void CStandardFeatureDlg::OnAwb() {
    m_wbMode->SetIndex(1);
    ShowWhiteBalanceMode(true);
    WriteFeature(kWhiteBalance, kManual | kOnePush, [this] { ReadWhiteBalance(); });
}

void CStandardFeatureDlg::OnGainMode(int index) {
    const bool manual = index == 1;
    m_gain->SetEnabled(manual);
    WriteFeature(kGain, manual ? kManual + DWORD(m_gain->Position()) : kManual | kAuto,
                 [this] { ReadGain(); });
}

void CStandardFeatureDlg::OnShutterSlider(int position) {
    m_shutterTime->setText(FormatShutterTime(position));
    WriteFeature(kShutter, kManual + DWORD(position), [this] { ReadShutter(); });
}

void CStandardFeatureDlg::OnShutterMode(int index) {
    DWORD value = kPresent;
    if (index == kShutterManual) {
        if (!ReadFeature(kShutter, &value)) value = kManual;
        // Coming from OFF the register has the on bit clear: manual means on.
        value = (value & ~kAuto) | kOn;
        m_shutter->SetEnabled(true);
    } else {
        m_shutterTime->setText(index == kShutterAuto ? "----" : "1/30.00sec");
        m_shutter->SetEnabled(false);
        if (index == kShutterAuto) value = kManual | kAuto;
    }
    WriteFeature(kShutter, value, [this] { ReadShutter(); });
}

void CStandardFeatureDlg::OnFlash() {
    // No width checked (its read failed) counts as NARROW rather than spilling into bit 24.
    const DWORD width = DWORD(std::max(m_flashWidth->Index(), 0));
    const DWORD value = kManual + width * 0x1000 + DWORD(m_flashStart->Position());
    WriteVendor(kFlashRegister, value, [this] { ReadFlash(); });
}

void CStandardFeatureDlg::OnShading(int index) {
    const DWORD value = index == 0 ? kPresent : kManual + DWORD(index - 1);
    WriteVendor(kShadingRegister, value, [this] { ReadShading(); });
}

void CStandardFeatureDlg::OnAdjust() {
    // Adjusting a shading that is off has nothing to adjust.
    const int shading = m_shading->Index();
    if (shading < 1) return;
    WriteVendor(kShadingRegister, (kManual | kOnePush) + DWORD(shading - 1),
                [this] { ReadShading(); });
}

void CStandardFeatureDlg::OnInitialize() {
    const WaitCursor wait;
    m_initialize->setEnabled(false);
    const DWORD value = kPresent;
    Camera()->WriteRegister(CameraIndex(), kInitializeRegister, &value);
    // The camera restores its factory settings meanwhile; show the disabled button first.
    QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    QThread::msleep(kInitializePauseMs);
    ReadAll();
    m_initialize->setEnabled(true);
}

void CStandardFeatureDlg::OnSave() { Camera()->SaveMemoryChannel(CameraIndex(), kSaveChannel); }
