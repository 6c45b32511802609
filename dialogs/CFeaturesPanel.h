// The Features panel: every standard feature the camera's inquiry registers list (a row each,
// with values in real units where the camera has absolute registers), the trigger with its
// "Software Trigger" button, and the memory channels. Rows the camera adjusts by itself
// (automatic, or a one-push still running) are re-read until it is done, so the controls and
// the camera never disagree. It sits in the viewer's Features dock beside the four parameter
// dialogs.
//
// Threading: the GUI thread only, which must also be the camera object's owner thread.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <memory>
#include <optional>
#include <vector>

#include "camera/CameraTrigger.h"
#include "camera/FeatureAccess.h"
#include "camera/MemoryChannels.h"
#include "dialogs/CFeatureRow.h"

class CFeaturesPanel : public QWidget {
    Q_OBJECT
public:
    // How often rows the camera adjusts by itself are read again.
    static constexpr int kPollMs = 300;

    explicit CFeaturesPanel(QWidget* parent = nullptr);
    ~CFeaturesPanel() override;

    // Binds the panel to the camera (not owned; it must outlive the panel), builds the controls
    // for what the camera offers and shows its state. False without a camera, when the inquiry
    // registers cannot be read, or when already created.
    bool Create(C1394Dcam* camera, int cameraIndex);
    // Reads every register of the panel into its controls.
    void ReadAll();

private:
    bool BuildFeatures(QVBoxLayout* layout);
    void BuildTrigger(QVBoxLayout* layout);
    void BuildMemory(QVBoxLayout* layout);
    void ReadTrigger();
    void WriteTrigger();
    void OnSoftwareTrigger();
    void OnSave();
    void OnLoad();
    void OnPoll();

    C1394Dcam* m_pCamera = nullptr;
    std::optional<FeatureAccess> m_access;
    std::optional<CameraTrigger> m_trigger;
    std::optional<MemoryChannels> m_memory;
    std::vector<std::unique_ptr<CFeatureRow>> m_rows;
    CameraTrigger::Offer m_triggerOffer;
    QCheckBox* m_triggerOn = nullptr;
    QComboBox* m_triggerMode = nullptr;
    QComboBox* m_triggerSource = nullptr;
    QCheckBox* m_triggerPolarity = nullptr;
    QSpinBox* m_triggerParameter = nullptr;
    QPushButton* m_softwareTrigger = nullptr;
    QComboBox* m_memoryChannel = nullptr;
    QPushButton* m_memorySave = nullptr;
    QLabel* m_memoryCurrent = nullptr;
    QTimer m_poll;
};
