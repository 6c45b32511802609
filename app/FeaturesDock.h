// The Features dock at the main frame's right: the Features panel of the connected camera in a
// scroll area. Made when first shown for a connection and dropped when the connection ends, so
// every connection starts from the camera's own state, as the parameter dialogs do.
//
// Threading: the window's thread only.
#pragma once

#include <QDockWidget>

#include "camera/C1394Dcam.h"

class CFeaturesPanel;

class FeaturesDock : public QDockWidget {
    Q_OBJECT
public:
    explicit FeaturesDock(QWidget* parent);

    // Shows the panel of camera (making it first), or hides the dock when it shows.
    void Toggle(C1394Dcam& cam, int camera);
    // Drops the panel: the connection it was made for ended.
    void Drop();
    CFeaturesPanel* Panel() const { return m_pPanel; }

private:
    CFeaturesPanel* m_pPanel = nullptr;  // owned by the scroll area
};
