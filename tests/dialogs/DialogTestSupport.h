// Shared pieces of the dialog suites: a camera on a private kestrix-busd, one dialog opened on
// it as the viewer opens it (the suite's main holds the QApplication), its controls found by their
// ids, and faults armed on the bus.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTest>
#include <memory>
#include <string>

#include "tests/camera/CameraTestSupport.h"

namespace dialogtest {

using cameratest::DWORD;

// Feature register numbers and bits, written out here to catch a wrong constant in the dialogs.
inline constexpr int kBrightness = 0, kAutoExposure = 1, kSharpness = 2, kWhiteBalance = 3;
inline constexpr int kSaturation = 5, kGamma = 6, kShutter = 7, kGain = 8, kTrigger = 12;
inline constexpr DWORD kOff = 0x80000000, kOn = 0x82000000, kAutomatic = 0x83000000;

template <class Dialog>
class DialogTest : public cameratest::CameraTest {
protected:
    void TearDown() override { m_dlg.reset(); }

    // Creates the dialog on camera 0 and shows it, as the viewer does.
    Dialog& Open() {
        m_dlg = std::make_unique<Dialog>();
        EXPECT_TRUE(m_dlg->Create(&m_cam, 0));
        m_dlg->show();
        return *m_dlg;
    }

    template <class W>
    W* Find(const char* kind, int id) {
        W* widget = m_dlg->template findChild<W*>(QStringLiteral("%1%2").arg(kind).arg(id));
        if (widget == nullptr) ADD_FAILURE() << "no " << kind << id;
        return widget;
    }
    QSlider* Slider(int id) { return Find<QSlider>("slider", id); }
    QLabel* Label(int id) { return Find<QLabel>("label", id); }
    QRadioButton* Radio(int id) { return Find<QRadioButton>("radio", id); }
    QPushButton* Button(int id) { return Find<QPushButton>("button", id); }
    QCheckBox* Check(int id) { return Find<QCheckBox>("check", id); }
    QString Text(int labelId) { return Label(labelId)->text(); }

    void Press(QWidget* widget, Qt::Key key) { QTest::keyClick(widget, key); }
    void Click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }
    void Read() { Click(Button(1071)); }

    DWORD Feature(int feature) {
        DWORD value = 0xDEADBEEF;
        EXPECT_TRUE(m_cam.ReadFeature(0, feature, &value)) << feature;
        return value;
    }
    void SetFeature(int feature, DWORD value) {
        ASSERT_TRUE(m_cam.WriteFeature(0, feature, &value)) << feature;
    }
    DWORD Vendor(DWORD offset) {
        DWORD value = 0xDEADBEEF;
        EXPECT_TRUE(m_cam.ReadVendorRegister(0, offset, &value)) << std::hex << offset;
        return value;
    }
    void SetVendor(DWORD offset, DWORD value) {
        ASSERT_TRUE(m_cam.WriteVendorRegister(0, offset, value)) << std::hex << offset;
    }
    // The next count register reads or writes on the bus fail.
    void FailNext(int count) {
        cameratest::Busctl(m_bus, {"fault", "async-fail", std::to_string(count)});
    }
    void ClearFaults() { cameratest::Busctl(m_bus, {"fault", "clear"}); }

    std::unique_ptr<Dialog> m_dlg;
};

}  // namespace dialogtest
