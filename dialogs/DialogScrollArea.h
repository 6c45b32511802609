// The scroll area that holds a dialog's controls: as large as the controls want while the screen
// has room for them, no taller than the screen's free height otherwise, so that a tall dialog
// on a small screen scrolls instead of running off it.
//
// Threading: the GUI thread only.
#pragma once

#include <QScrollArea>

class DialogScrollArea : public QScrollArea {
    Q_OBJECT
public:
    // Takes content (the controls, laid out) and shows it without a frame.
    DialogScrollArea(QWidget* parent, QWidget* content);

    // The content's size, its height bounded by the room the screen leaves for it.
    QSize sizeHint() const override;

private:
    int Room() const;
};
