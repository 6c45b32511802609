// The "Statistics" dock: the view's figures, refreshed with every sample (twice a second).
#pragma once

#include <QDockWidget>

#include "app/ViewerStatistics.h"

class CCameraView;
class QLabel;

class StatisticsDock : public QDockWidget {
    Q_OBJECT
public:
    StatisticsDock(QWidget* parent, CCameraView* view);

    // The dock's lines for a sample, as shown.
    static QString Text(const ViewerStatistics& figures);
    QString Shown() const;

private:
    void Refresh();

    CCameraView* m_pView;
    QLabel* m_pText;
};
