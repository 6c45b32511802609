// Radio rows: a click reports the index of the button clicked, even when already checked.
#include "dialogs/CRadioGroup.h"

#include <utility>

#include "dialogs/RadioTabStop.h"

CRadioGroup::CRadioGroup(QWidget* parent, const QStringList& captions, std::vector<int> ids,
                         ClickHandler onClick)
    : QObject(parent), m_group(new QButtonGroup(this)), m_layout(new QHBoxLayout) {
    for (int i = 0; i < captions.size(); ++i) {
        auto* button = new QRadioButton(captions[i], parent);
        button->setObjectName(QStringLiteral("radio%1").arg(ids.at(std::size_t(i))));
        m_group->addButton(button, i);
        m_layout->addWidget(button);
        m_buttons.push_back(button);
    }
    m_layout->addStretch();
    RadioTabStop::Apply(m_group);
    connect(m_group, &QButtonGroup::idClicked, this, std::move(onClick));
}

void CRadioGroup::SetIndex(int index) {
    if (index >= 0 && index < int(m_buttons.size())) {
        m_buttons[std::size_t(index)]->setChecked(true);
        return;
    }
    // An exclusive group keeps one button checked; unchecking needs exclusivity lifted.
    m_group->setExclusive(false);
    for (auto* button : m_buttons) button->setChecked(false);
    m_group->setExclusive(true);
}

void CRadioGroup::SetEnabled(bool enabled) {
    for (auto* button : m_buttons) button->setEnabled(enabled);
}
