// A camera with only the standard IIDC registers (kestrix-busd --model generic): the dialogs that
// need the maker's vendor registers say so and grey those settings out; the maker's camera gets
// no such notice.
#include <gtest/gtest.h>

#include <QGroupBox>
#include <map>

#include "dialogs/CAeSharpnessDlg.h"
#include "dialogs/CMaskingDlg.h"
#include "dialogs/CMiscParamDlg.h"
#include "dialogs/CStandardFeatureDlg.h"
#include "tests/dialogs/DialogTestSupport.h"

namespace {

testsupport::SimulatedBus::Options Generic() {
    testsupport::SimulatedBus::Options options;
    options.extraArguments = {"--model", "generic"};
    return options;
}

// The notice, or null.
QLabel* Notice(QDialog& dialog) {
    return dialog.findChild<QLabel*>(QStringLiteral("noVendorRegisters"));
}

// Every group box of the dialog by caption, enabled or not.
std::map<QString, bool> Groups(QDialog& dialog) {
    std::map<QString, bool> groups;
    for (const QGroupBox* box : dialog.findChildren<QGroupBox*>())
        groups[box->title().trimmed()] = box->isEnabled();
    return groups;
}

class GenericCamera : public cameratest::CameraTest {
protected:
    GenericCamera() : CameraTest(Generic()) {}

    template <class Dialog>
    void ExpectAllGreyedOut() {
        Dialog dialog;
        ASSERT_TRUE(dialog.Create(&m_cam, 0));
        const QLabel* notice = Notice(dialog);
        ASSERT_NE(notice, nullptr) << dialog.windowTitle().toStdString();
        EXPECT_TRUE(notice->text().contains("no vendor registers"));
        for (const auto* slider : dialog.template findChildren<QSlider*>())
            EXPECT_FALSE(slider->isEnabled()) << slider->objectName().toStdString();
        for (const auto* radio : dialog.template findChildren<QRadioButton*>())
            EXPECT_FALSE(radio->isEnabled()) << radio->objectName().toStdString();
        EXPECT_TRUE(dialog.template findChild<QPushButton*>("button1071")->isEnabled()) << "Read";
    }
};

TEST_F(GenericCamera, VendorDialogsSayTheyNeedTheVendorRegisters) {
    ExpectAllGreyedOut<CMaskingDlg>();
    ExpectAllGreyedOut<CAeSharpnessDlg>();
    ExpectAllGreyedOut<CMiscParamDlg>();
}

TEST_F(GenericCamera, StandardDialogGreysOutOnlyFlashAndShading) {
    CStandardFeatureDlg dialog;
    ASSERT_TRUE(dialog.Create(&m_cam, 0));
    ASSERT_NE(Notice(dialog), nullptr);
    const auto groups = Groups(dialog);
    EXPECT_FALSE(groups.at("FLASH"));
    EXPECT_FALSE(groups.at("AUTO SHADING"));
    EXPECT_TRUE(groups.at("BRIGHTNESS"));
    EXPECT_TRUE(groups.at("SHUTTER"));
}

using MakersCamera = cameratest::CameraTest;

TEST_F(MakersCamera, HasNoNotice) {
    CMaskingDlg masking;
    ASSERT_TRUE(masking.Create(&m_cam, 0));
    EXPECT_EQ(Notice(masking), nullptr);
    CStandardFeatureDlg standard;
    ASSERT_TRUE(standard.Create(&m_cam, 0));
    EXPECT_EQ(Notice(standard), nullptr);
    for (const auto& [title, enabled] : Groups(standard)) EXPECT_TRUE(enabled) << title.toStdString();
}

}  // namespace
