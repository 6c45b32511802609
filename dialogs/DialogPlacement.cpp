// Placing a modeless dialog beside its main window.
#include "dialogs/DialogPlacement.h"

#include <QScreen>
#include <QWidget>

#include <algorithm>

bool PlaceBeside(QWidget* dialog, const QWidget* window) {
    const QScreen* screen = window->screen();
    if (screen == nullptr) return false;
    const QRect room = screen->availableGeometry();
    const QRect beside = window->frameGeometry();
    // The dialog's frame is taken to match the window's, the only one known before it shows.
    const QRect inner = window->geometry();
    const QSize decoration = beside.size() - inner.size();
    const QSize size =
        (dialog->testAttribute(Qt::WA_Resized) ? dialog->size() : dialog->sizeHint()) + decoration;
    int x = 0;
    if (beside.right() + size.width() <= room.right())
        x = beside.right() + 1;
    else if (beside.left() - size.width() >= room.left())
        x = beside.left() - size.width();
    else
        return false;
    const int y = std::clamp(beside.top(), room.top(),
                             std::max(room.top(), room.bottom() + 1 - size.height()));
    dialog->move(x, y);
    return true;
}
