// The "Histogram" dock: one channel's histogram (red, green, blue or luminance) on a linear or
// logarithmic scale, the share of pixels clipped at either end, and the overexposure overlay's
// switch. It draws what the view counted last.
#pragma once

#include <QDockWidget>

class CCameraView;
class QCheckBox;
class QComboBox;
class QLabel;

class HistogramDock : public QDockWidget {
    Q_OBJECT
public:
    HistogramDock(QWidget* parent, CCameraView* view);

    // "Clipped: dark 0.00 %  bright 0.00 %" for the channel shown.
    QString ClippedText() const;
    QComboBox* ChannelBox() const { return m_pChannel; }

private:
    void Refresh();

    CCameraView* m_pView;
    QWidget* m_pPlot;
    QComboBox* m_pChannel;
    QCheckBox* m_pLog;
    QCheckBox* m_pOverlay;
    QLabel* m_pClipped;
};
