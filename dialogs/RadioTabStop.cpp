// One tab stop per radio group, following the checked button.
#include "dialogs/RadioTabStop.h"

#include <QAbstractButton>
#include <QEvent>

void RadioTabStop::Apply(QButtonGroup* group) { new RadioTabStop(group); }

RadioTabStop::RadioTabStop(QButtonGroup* group) : QObject(group), m_group(group) {
    connect(group, &QButtonGroup::buttonToggled, this, &RadioTabStop::Update);
    // A greyed-out button cannot take the focus: the stop moves while it is.
    for (QAbstractButton* button : group->buttons()) button->installEventFilter(this);
    Update();
}

bool RadioTabStop::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::EnabledChange) Update();
    return QObject::eventFilter(watched, event);
}

void RadioTabStop::Update() {
    const QList<QAbstractButton*> buttons = m_group->buttons();
    QAbstractButton* stop = m_group->checkedButton();
    if (stop == nullptr || !stop->isEnabled()) {
        stop = nullptr;
        for (QAbstractButton* button : buttons) {
            if (button->isEnabled()) {
                stop = button;
                break;
            }
        }
    }
    // Click focus keeps the mouse and the arrow keys working on the other buttons.
    for (QAbstractButton* button : buttons)
        button->setFocusPolicy(button == stop ? Qt::StrongFocus : Qt::ClickFocus);
}
