// Drawing and dragging the Format 7 region on its thumbnail.
#include "app/RegionPreview.h"

#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kThumbWidth = 240;

}  // namespace

RegionPreview::RegionPreview(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setCursor(Qt::SizeAllCursor);
}

void RegionPreview::SetSensor(int width, int height) {
    m_nSensorWidth = std::max(width, 1);
    m_nSensorHeight = std::max(height, 1);
    setFixedSize(sizeHint());
    update();
}

void RegionPreview::SetRegion(const Format7Region& region) {
    m_region = region;
    update();
}

void RegionPreview::SetPicture(const QImage& picture) {
    m_picture = picture;
    update();
}

QSize RegionPreview::sizeHint() const {
    return {kThumbWidth, std::max(1, kThumbWidth * m_nSensorHeight / m_nSensorWidth)};
}

double RegionPreview::Scale() const { return double(width()) / m_nSensorWidth; }

QRect RegionPreview::RegionRect() const {
    const double s = Scale();
    return QRect(int(std::lround(m_region.left * s)), int(std::lround(m_region.top * s)),
                 std::max(1, int(std::lround(m_region.width * s))),
                 std::max(1, int(std::lround(m_region.height * s))));
}

void RegionPreview::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (m_picture.isNull())
        painter.fillRect(rect(), Qt::darkGray);
    else
        painter.drawImage(rect(), m_picture);
    painter.setPen(QPen(Qt::yellow, 2));
    painter.drawRect(RegionRect().adjusted(1, 1, -1, -1));
}

void RegionPreview::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !RegionRect().contains(event->pos())) return;
    m_bDragging = true;
    const double s = Scale();
    m_ptGrab = QPoint(int(event->position().x() / s) - m_region.left,
                      int(event->position().y() / s) - m_region.top);
}

void RegionPreview::mouseMoveEvent(QMouseEvent* event) {
    if (!m_bDragging) return;
    const double s = Scale();
    emit RegionMoved(int(event->position().x() / s) - m_ptGrab.x(),
                     int(event->position().y() / s) - m_ptGrab.y());
}

void RegionPreview::mouseReleaseEvent(QMouseEvent*) { m_bDragging = false; }
