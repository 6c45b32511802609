// The shared dialog pattern: layout helpers, the Read button and checked register access.
#include "dialogs/CParamDialog.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QShowEvent>
#include <utility>

#include "dialogs/DialogPlacement.h"
#include "dialogs/DialogScrollArea.h"
#include "dialogs/WaitCursor.h"

namespace {

// Every widget a layout holds, its nested layouts' included.
void WidgetsOf(QLayout* layout, std::vector<QWidget*>& widgets) {
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        if (QWidget* widget = item->widget())
            widgets.push_back(widget);
        else if (QLayout* inner = item->layout())
            WidgetsOf(inner, widgets);
    }
}

}  // namespace

CParamDialog::CParamDialog(QWidget* parent, const QString& title)
    : QDialog(parent), m_groups(new QVBoxLayout), m_buttons(new QVBoxLayout) {
    setWindowTitle(title);
    setModal(false);
    auto* content = new QWidget;
    auto* top = new QHBoxLayout(content);
    top->setContentsMargins(0, 0, 0, 0);
    top->addLayout(m_groups, 1);
    top->addLayout(m_buttons);
    auto* outer = new QVBoxLayout(this);
    m_scroll = new DialogScrollArea(this, content);
    outer->addWidget(m_scroll);
}

bool CParamDialog::Create(C1394Dcam* camera, int cameraIndex) {
    if (camera == nullptr || m_pCamera != nullptr) return false;
    m_pCamera = camera;
    m_nCamera = cameraIndex;
    BuildControls();
    if (VendorOnly()) WidgetsOf(m_groups, m_vendorGroups);
    if (!m_vendorGroups.empty() && m_pCamera->LacksVendorRegisters(m_nCamera))
        ShowNoVendorRegisters();
    ReadAll();
    return true;
}

void CParamDialog::ShowBeside(const QWidget* window) {
    m_pBeside = window;
    show();
}

void CParamDialog::showEvent(QShowEvent* event) {
    // Sized and placed once, when the controls first show and before the window maps: the
    // controls' size, or the screen's height with a scroll bar.
    if (!event->spontaneous() && !m_bPlaced) {
        m_bPlaced = true;
        // The layout holds the hint the scroll area had while its controls were hidden.
        m_scroll->updateGeometry();
        resize(sizeHint());
        if (m_pBeside != nullptr) PlaceBeside(this, m_pBeside);
    }
    QDialog::showEvent(event);
}

void CParamDialog::NeedsVendorRegisters(QGridLayout* group) {
    m_vendorGroups.push_back(group->parentWidget());
}

void CParamDialog::ShowNoVendorRegisters() {
    for (QWidget* group : m_vendorGroups) group->setEnabled(false);
    auto* notice = new QLabel(
        VendorOnly() ? QStringLiteral("This camera has no vendor registers: these settings "
                                      "need them and are not available.")
                     : QStringLiteral("This camera has no vendor registers: the settings "
                                      "greyed out need them."),
        this);
    notice->setObjectName(QStringLiteral("noVendorRegisters"));
    notice->setWordWrap(true);
    m_groups->insertWidget(0, notice);
}

QGridLayout* CParamDialog::AddGroup(const QString& caption, QBoxLayout* into) {
    auto* box = new QGroupBox(caption, this);
    auto* grid = new QGridLayout(box);
    grid->setColumnStretch(1, 1);
    (into ? into : m_groups)->addWidget(box);
    return grid;
}

CValueSlider* CParamDialog::AddSlider(QGridLayout* grid, const QString& caption, int sliderId,
                                      int labelId, const CValueSlider::Range& range,
                                      CValueSlider::MoveHandler onMove,
                                      CValueSlider::Formatter format) {
    auto* slider =
        new CValueSlider(this, sliderId, labelId, range, std::move(onMove), std::move(format));
    const int row = grid->rowCount();
    if (!caption.isEmpty()) grid->addWidget(new QLabel(caption, this), row, 0);
    grid->addWidget(slider->Slider(), row, 1);
    grid->addWidget(slider->Label(), row, 2);
    return slider;
}

CRadioGroup* CParamDialog::AddRadios(QGridLayout* grid, const QString& caption,
                                     const QStringList& buttons, std::vector<int> ids,
                                     CRadioGroup::ClickHandler onClick) {
    auto* group = new CRadioGroup(this, buttons, std::move(ids), std::move(onClick));
    const int row = grid->rowCount();
    if (!caption.isEmpty()) grid->addWidget(new QLabel(caption, this), row, 0);
    grid->addLayout(group->Layout(), row, 1, 1, 2);
    return group;
}

QPushButton* CParamDialog::MakeButton(const QString& text, int id, std::function<void()> onClick) {
    auto* button = new QPushButton(text, this);
    button->setObjectName(QStringLiteral("button%1").arg(id));
    button->setAutoDefault(false);
    connect(button, &QPushButton::clicked, this, std::move(onClick));
    return button;
}

QPushButton* CParamDialog::ReadButton() {
    m_read = MakeButton(QStringLiteral("Read"), 1071, [this] { OnRead(); });
    return m_read;
}

QPushButton* CParamDialog::CloseButton() {
    return MakeButton(QStringLiteral("Close"), 2, [this] { reject(); });
}

std::vector<int> CParamDialog::Ids(int first, int count) {
    std::vector<int> ids;
    for (int i = 0; i < count; ++i) ids.push_back(first + i);
    return ids;
}

bool CParamDialog::ReadFeature(int feature, DWORD* value) {
    return m_pCamera->ReadFeature(m_nCamera, feature, value);
}

bool CParamDialog::ReadVendor(DWORD offset, DWORD* value) {
    return m_pCamera->ReadVendorRegister(m_nCamera, offset, value);
}

void CParamDialog::WriteFeature(int feature, DWORD value, const std::function<void()>& reread) {
    if (!m_pCamera->WriteFeature(m_nCamera, feature, &value)) reread();
}

void CParamDialog::WriteVendor(DWORD offset, DWORD value, const std::function<void()>& reread) {
    if (!m_pCamera->WriteVendorRegister(m_nCamera, offset, value)) reread();
}

void CParamDialog::keyPressEvent(QKeyEvent* event) {
    if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
        if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
            reject();
            return;
        }
    }
    QDialog::keyPressEvent(event);
}

void CParamDialog::OnRead() {
    const WaitCursor wait;
    m_read->setEnabled(false);
    ReadAll();
    m_read->setEnabled(true);
}
