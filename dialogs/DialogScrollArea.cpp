// A dialog's controls in a scroll area no taller than the screen allows.
#include "dialogs/DialogScrollArea.h"

#include <QLayout>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>

#include <algorithm>

DialogScrollArea::DialogScrollArea(QWidget* parent, QWidget* content) : QScrollArea(parent) {
    setFrameShape(QFrame::NoFrame);
    // Not a tab stop of its own: tabbing to a control scrolls it into view.
    setFocusPolicy(Qt::NoFocus);
    setWidgetResizable(true);
    setWidget(content);
}

QSize DialogScrollArea::sizeHint() const {
    QSize hint = widget()->sizeHint();
    const int room = Room();
    if (hint.height() > room) {
        hint.setHeight(room);
        hint.rwidth() += verticalScrollBar()->sizeHint().width();
    }
    return hint;
}

int DialogScrollArea::Room() const {
    const QWidget* dialog = window();
    const QScreen* screen = dialog->screen();
    if (screen == nullptr) return QWIDGETSIZE_MAX;
    // The title bar is not known before the window shows: the style's estimate stands for it.
    int around = dialog->style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, dialog);
    if (const QLayout* layout = dialog->layout()) {
        const QMargins margins = layout->contentsMargins();
        around += margins.top() + margins.bottom();
    }
    return std::max(100, screen->availableGeometry().height() - around);
}
