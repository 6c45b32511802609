// The pattern the four parameter dialogs share: a modeless dialog bound to one camera, groups of
// sliders and radio rows at the left, a button column at the right, Read re-reading every
// register, and a register write on every change that re-reads the register when it fails.
//
// Threading: the GUI thread only, which must also be the camera object's owner thread.
#pragma once

#include <QDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <functional>
#include <vector>

#include "camera/C1394Dcam.h"
#include "dialogs/CRadioGroup.h"
#include "dialogs/CValueSlider.h"
#include "dialogs/DialogScrollArea.h"

class CParamDialog : public QDialog {
    Q_OBJECT
public:
    using DWORD = C1394Dcam::DWORD;

    // Binds the dialog to the camera (not owned; it must outlive the dialog), builds the controls
    // and shows the camera's state. The caller shows the window. False without a camera or when
    // already created.
    bool Create(C1394Dcam* camera, int cameraIndex);
    // Reads every register of the dialog into its controls; a failed read leaves or resets that
    // register's controls as each dialog says.
    virtual void ReadAll() = 0;
    // Shows the dialog beside window (the main window) when the screen has room there, so that
    // it does not cover the picture; else where the system puts it.
    void ShowBeside(const QWidget* window);

protected:
    // Values the dialogs write, in the feature-register layout.
    static constexpr DWORD kPresent = 0x80000000;     // off
    static constexpr DWORD kOn = 0x02000000;          // with kPresent: on, by hand
    static constexpr DWORD kAuto = 0x01000000;        // with kPresent | kOn: automatic
    static constexpr DWORD kOnePush = 0x04000000;     // with kPresent | kOn: one-push request
    static constexpr DWORD kManual = kPresent | kOn;  // 0x82000000

    CParamDialog(QWidget* parent, const QString& title);

    virtual void BuildControls() = 0;
    // True for a dialog whose every group uses the maker's vendor registers.
    virtual bool VendorOnly() const { return false; }
    // Marks a group that uses the maker's vendor registers: on a camera without them it is
    // greyed out (with everything left of the buttons, in a VendorOnly dialog) under a notice
    // that says why.
    void NeedsVendorRegisters(QGridLayout* group);

    // ---- Layout: groups top to bottom at the left, buttons at the right ----
    QGridLayout* AddGroup(const QString& caption, QBoxLayout* into = nullptr);
    QBoxLayout* Groups() const { return m_groups; }
    QBoxLayout* ButtonColumn() const { return m_buttons; }
    // A row of grid: caption, slider, value label.
    CValueSlider* AddSlider(QGridLayout* grid, const QString& caption, int sliderId, int labelId,
                            const CValueSlider::Range& range, CValueSlider::MoveHandler onMove,
                            CValueSlider::Formatter format = {});
    // A row of grid: caption, then the radio buttons.
    CRadioGroup* AddRadios(QGridLayout* grid, const QString& caption, const QStringList& buttons,
                           std::vector<int> ids, CRadioGroup::ClickHandler onClick);
    // A push button that never acts on Enter, named "button<id>".
    QPushButton* MakeButton(const QString& text, int id, std::function<void()> onClick);
    // Read and Close ready for the button column.
    QPushButton* ReadButton();
    QPushButton* CloseButton();
    static std::vector<int> Ids(int first, int count);

    // ---- Register access ----
    bool ReadFeature(int feature, DWORD* value);
    bool ReadVendor(DWORD offset, DWORD* value);
    // A failed write runs reread, so the controls show what the camera holds.
    void WriteFeature(int feature, DWORD value, const std::function<void()>& reread);
    void WriteVendor(DWORD offset, DWORD value, const std::function<void()>& reread);
    C1394Dcam* Camera() const { return m_pCamera; }
    int CameraIndex() const { return m_nCamera; }

    // Enter hides the dialog as Escape does; no button is the default.
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void OnRead();
    void ShowNoVendorRegisters();

    C1394Dcam* m_pCamera = nullptr;
    int m_nCamera = 0;
    DialogScrollArea* m_scroll;
    const QWidget* m_pBeside = nullptr;
    bool m_bPlaced = false;
    QBoxLayout* m_groups;
    QBoxLayout* m_buttons;
    QPushButton* m_read = nullptr;
    std::vector<QWidget*> m_vendorGroups;
};
