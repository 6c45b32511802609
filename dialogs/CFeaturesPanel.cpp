// Building the panel from the inquiry registers, the trigger and memory-channel groups, and
// re-reading what the camera adjusts.
#include "dialogs/CFeaturesPanel.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QSignalBlocker>

#include "camera/IidcRegisters.h"

namespace {

constexpr int kTriggerFeature = camera::iidc::kTriggerFeature;

QPushButton* Button(QWidget* parent, const QString& text, const char* name) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(name);
    button->setAutoDefault(false);
    return button;
}

template <class W>
W* Named(W* widget, const char* name) {
    widget->setObjectName(name);
    return widget;
}

}  // namespace

CFeaturesPanel::CFeaturesPanel(QWidget* parent) : QWidget(parent) {
    setWindowTitle("Features");
    m_poll.setInterval(kPollMs);
    connect(&m_poll, &QTimer::timeout, this, &CFeaturesPanel::OnPoll);
}

CFeaturesPanel::~CFeaturesPanel() = default;

bool CFeaturesPanel::Create(C1394Dcam* camera, int cameraIndex) {
    if (camera == nullptr || m_pCamera != nullptr) return false;
    m_pCamera = camera;
    m_access.emplace(*camera, cameraIndex);
    m_trigger.emplace(*camera, cameraIndex);
    m_memory.emplace(*camera, cameraIndex);
    auto* layout = new QVBoxLayout(this);
    if (!BuildFeatures(layout)) return false;
    BuildTrigger(layout);
    BuildMemory(layout);
    QPushButton* read = Button(this, "&Read", "read");
    connect(read, &QPushButton::clicked, this, &CFeaturesPanel::ReadAll);
    layout->addWidget(read, 0, Qt::AlignRight);
    layout->addStretch();
    ReadAll();
    m_poll.start();
    return true;
}

bool CFeaturesPanel::BuildFeatures(QVBoxLayout* layout) {
    auto* box = new QGroupBox("Features", this);
    auto* grid = new QGridLayout(box);
    int row = 0;
    for (int feature = 0; feature < FeatureAccess::kFeatureCount; ++feature) {
        FeatureAccess::Offer offer;
        if (!m_access->Inquire(feature, offer)) return false;
        if (!offer.present || feature == kTriggerFeature) continue;
        m_rows.push_back(std::make_unique<CFeatureRow>(box, grid, row, *m_access, feature, offer));
        row += feature == 3 ? 2 : 1;  // white balance: U/B and V/R
    }
    grid->setColumnStretch(3, 1);
    layout->addWidget(box);
    return true;
}

void CFeaturesPanel::BuildTrigger(QVBoxLayout* layout) {
    if (!m_trigger->Inquire(m_triggerOffer) || !m_triggerOffer.present) return;
    auto* box = new QGroupBox("Trigger", this);
    auto* grid = new QGridLayout(box);
    m_triggerOn = Named(new QCheckBox("&On", box), "triggerOn");
    m_triggerOn->setEnabled(m_triggerOffer.onOff);
    m_triggerMode = Named(new QComboBox(box), "triggerMode");
    for (unsigned mode = 0; mode < 16; ++mode) {
        if (m_triggerOffer.HasMode(mode))
            m_triggerMode->addItem(QString("Mode %1").arg(mode), mode);
    }
    m_triggerSource = Named(new QComboBox(box), "triggerSource");
    for (unsigned source = 0; source < 4; ++source) {
        if (m_triggerOffer.HasSource(source))
            m_triggerSource->addItem(QString("Input %1").arg(source), source);
    }
    if (m_triggerOffer.software)
        m_triggerSource->addItem("Software", CameraTrigger::kSoftwareSource);
    m_triggerPolarity = Named(new QCheckBox("Active &high", box), "triggerPolarity");
    m_triggerPolarity->setEnabled(m_triggerOffer.polarity);
    m_triggerParameter = Named(new QSpinBox(box), "triggerParameter");
    m_triggerParameter->setRange(0, int(camera::iidc::kValue));
    m_triggerParameter->setKeyboardTracking(false);
    m_softwareTrigger = Button(box, "Software &Trigger", "softwareTrigger");
    grid->addWidget(m_triggerOn, 0, 0);
    grid->addWidget(m_triggerMode, 0, 1);
    grid->addWidget(m_triggerSource, 0, 2);
    grid->addWidget(m_triggerPolarity, 1, 0);
    grid->addWidget(new QLabel("Parameter", box), 1, 1);
    grid->addWidget(m_triggerParameter, 1, 2);
    grid->addWidget(m_softwareTrigger, 2, 2);
    connect(m_triggerOn, &QCheckBox::clicked, this, &CFeaturesPanel::WriteTrigger);
    connect(m_triggerPolarity, &QCheckBox::clicked, this, &CFeaturesPanel::WriteTrigger);
    connect(m_triggerMode, &QComboBox::activated, this, &CFeaturesPanel::WriteTrigger);
    connect(m_triggerSource, &QComboBox::activated, this, &CFeaturesPanel::WriteTrigger);
    connect(m_triggerParameter, &QSpinBox::valueChanged, this, &CFeaturesPanel::WriteTrigger);
    connect(m_softwareTrigger, &QPushButton::clicked, this, &CFeaturesPanel::OnSoftwareTrigger);
    layout->addWidget(box);
}

void CFeaturesPanel::BuildMemory(QVBoxLayout* layout) {
    const int channels = m_memory->Count();
    if (channels <= 0) return;
    auto* box = new QGroupBox("Memory channels", this);
    auto* row = new QHBoxLayout(box);
    m_memoryChannel = Named(new QComboBox(box), "memoryChannel");
    m_memoryChannel->addItem("Factory", 0);
    for (int channel = 1; channel <= channels; ++channel)
        m_memoryChannel->addItem(QString("Channel %1").arg(channel), channel);
    m_memoryChannel->setCurrentIndex(1);
    m_memorySave = Button(box, "&Save to", "memorySave");
    QPushButton* load = Button(box, "&Load from", "memoryLoad");
    m_memoryCurrent = Named(new QLabel(box), "memoryCurrent");
    row->addWidget(m_memorySave);
    row->addWidget(load);
    row->addWidget(m_memoryChannel);
    row->addWidget(m_memoryCurrent, 1);
    // The factory channel can be loaded, never written.
    connect(m_memoryChannel, &QComboBox::currentIndexChanged, this,
            [this](int index) { m_memorySave->setEnabled(index > 0); });
    connect(m_memorySave, &QPushButton::clicked, this, &CFeaturesPanel::OnSave);
    connect(load, &QPushButton::clicked, this, &CFeaturesPanel::OnLoad);
    layout->addWidget(box);
}

void CFeaturesPanel::ReadAll() {
    for (const auto& row : m_rows) row->Read();
    ReadTrigger();
    if (m_memoryCurrent != nullptr) {
        const int current = m_memory->Current();
        m_memoryCurrent->setText(current < 0    ? QString()
                                 : current == 0 ? QString("Loaded: factory")
                                                : QString("Loaded: channel %1").arg(current));
    }
}

void CFeaturesPanel::ReadTrigger() {
    CameraTrigger::Setting setting;
    if (m_triggerOn == nullptr || !m_trigger->Read(setting)) return;
    const QSignalBlocker blocks[] = {
        QSignalBlocker(m_triggerOn), QSignalBlocker(m_triggerMode), QSignalBlocker(m_triggerSource),
        QSignalBlocker(m_triggerPolarity), QSignalBlocker(m_triggerParameter)};
    m_triggerOn->setChecked(setting.on);
    m_triggerMode->setCurrentIndex(m_triggerMode->findData(setting.mode));
    m_triggerSource->setCurrentIndex(m_triggerSource->findData(setting.source));
    m_triggerPolarity->setChecked(setting.polarity);
    m_triggerParameter->setValue(int(setting.parameter));
    m_softwareTrigger->setEnabled(setting.on && setting.source == CameraTrigger::kSoftwareSource);
}

void CFeaturesPanel::WriteTrigger() {
    CameraTrigger::Setting setting;
    setting.on = m_triggerOn->isChecked();
    setting.mode = m_triggerMode->currentData().toUInt();
    setting.source = m_triggerSource->currentData().toUInt();
    setting.polarity = m_triggerPolarity->isChecked();
    setting.parameter = unsigned(m_triggerParameter->value());
    m_trigger->Write(setting);
    ReadTrigger();
}

void CFeaturesPanel::OnSoftwareTrigger() { m_trigger->Fire(); }

void CFeaturesPanel::OnSave() {
    m_memory->Save(m_memoryChannel->currentData().toInt());
    ReadAll();
}

void CFeaturesPanel::OnLoad() {
    m_memory->Load(m_memoryChannel->currentData().toInt());
    ReadAll();
}

void CFeaturesPanel::OnPoll() {
    for (const auto& row : m_rows) {
        if (row->Adjusting()) row->Read();
    }
}
