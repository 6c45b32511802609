// Where a modeless dialog opens: beside its main window, so that it does not cover the picture.
#pragma once

class QWidget;

// Moves dialog (not shown yet) to the right of window, else to its left, top edges aligned as
// far as the screen allows. False, leaving the dialog where the system puts it, when neither
// side of the window's screen has room for it.
bool PlaceBeside(QWidget* dialog, const QWidget* window);
