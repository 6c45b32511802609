// A thumbnail of the sensor with the Format 7 region drawn on it: the last frame behind it when
// one of the whole sensor is at hand, and the region dragged with the mouse.
#pragma once

#include <QImage>
#include <QPoint>
#include <QWidget>

#include "camera/Format7Geometry.h"

class RegionPreview : public QWidget {
    Q_OBJECT
public:
    explicit RegionPreview(QWidget* parent = nullptr);

    void SetSensor(int width, int height);
    void SetRegion(const Format7Region& region);
    // Shown behind the region; a null picture shows none.
    void SetPicture(const QImage& picture);
    // The region's rectangle on the widget.
    QRect RegionRect() const;

    QSize sizeHint() const override;

signals:
    // The user dragged the region to a new corner (sensor pixels, not yet snapped).
    void RegionMoved(int left, int top);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    double Scale() const;  // widget pixels per sensor pixel

    int m_nSensorWidth = 1, m_nSensorHeight = 1;
    Format7Region m_region;
    QImage m_picture;
    bool m_bDragging = false;
    QPoint m_ptGrab;  // sensor position under the pointer, relative to the region's corner
};
