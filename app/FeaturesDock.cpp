// Making, showing and dropping the Features panel.
#include "app/FeaturesDock.h"

#include <QScrollArea>

#include "dialogs/CFeaturesPanel.h"

FeaturesDock::FeaturesDock(QWidget* parent) : QDockWidget("Features", parent) {
    setObjectName("featuresDock");
    setAllowedAreas(Qt::LeftDockWidgetArea | Qt::RightDockWidgetArea);
    hide();
}

void FeaturesDock::Toggle(C1394Dcam& cam, int camera) {
    if (isVisible()) {
        hide();
        return;
    }
    if (m_pPanel == nullptr) {
        auto* scroll = new QScrollArea(this);
        scroll->setWidgetResizable(true);
        auto* panel = new CFeaturesPanel(scroll);
        if (!panel->Create(&cam, camera)) {
            delete scroll;
            return;
        }
        scroll->setWidget(panel);
        setWidget(scroll);
        m_pPanel = panel;
    }
    show();
    m_pPanel->setFocus();
}

void FeaturesDock::Drop() {
    hide();
    delete widget();
    setWidget(nullptr);
    m_pPanel = nullptr;
}
