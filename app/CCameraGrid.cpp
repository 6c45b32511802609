// The grid of camera tiles: layout, painting, keys and the mouse.
#include "app/CCameraGrid.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include <cmath>

#include "app/DisplayPipeline.h"

namespace {

constexpr int kGap = 4;     // between tiles, and around them
constexpr int kBorder = 3;  // of the current tile

}  // namespace

CCameraGrid::CCameraGrid(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(320, 240);
}

QSize CCameraGrid::Shape(int tiles) {
    if (tiles <= 1) return {1, 1};
    const int columns = int(std::ceil(std::sqrt(double(tiles))));
    return {columns, (tiles + columns - 1) / columns};
}

void CCameraGrid::SetTileCount(int count) {
    m_tiles.assign(std::size_t(std::max(count, 0)), Tile{});
    m_nCurrent = 0;
    update();
}

void CCameraGrid::SetCurrent(int tile) {
    if (tile < 0 || tile >= TileCount() || tile == m_nCurrent) return;
    m_nCurrent = tile;
    update();
    emit CurrentChanged(tile);
}

int CCameraGrid::CaptionHeight() const { return 2 * fontMetrics().lineSpacing() + kGap; }

QRect CCameraGrid::TileRect(int tile) const {
    const QSize shape = Shape(TileCount());
    const int width = (this->width() - kGap) / shape.width() - kGap;
    const int height = (this->height() - kGap) / shape.height() - kGap;
    const int column = tile % shape.width(), row = tile / shape.width();
    return {kGap + column * (width + kGap), kGap + row * (height + kGap), width, height};
}

QRect CCameraGrid::PictureRect(int tile) const {
    const QRect area =
        TileRect(tile).adjusted(kBorder, kBorder, -kBorder, -kBorder - CaptionHeight());
    DisplayPipeline* pipeline = m_tiles[std::size_t(tile)].pipeline;
    if (pipeline == nullptr || pipeline->CurrentIndex() < 0 || pipeline->Front().isNull())
        return {};
    // Fitted whole, keeping its shape, at the middle of the area.
    const QSize size = pipeline->Front().size().scaled(area.size(), Qt::KeepAspectRatio);
    return {area.x() + (area.width() - size.width()) / 2,
            area.y() + (area.height() - size.height()) / 2, size.width(), size.height()};
}

QSize CCameraGrid::SizeFor(const QSize& picture) const {
    const QSize shape = Shape(TileCount());
    const int width = picture.width() + 2 * kBorder + kGap;
    const int height = picture.height() + 2 * kBorder + CaptionHeight() + kGap;
    return {kGap + shape.width() * width, kGap + shape.height() * height};
}

int CCameraGrid::TileAt(const QPoint& point) const {
    for (int tile = 0; tile < TileCount(); ++tile)
        if (TileRect(tile).contains(point)) return tile;
    return -1;
}

void CCameraGrid::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    for (int tile = 0; tile < TileCount(); ++tile) PaintTile(painter, tile);
}

void CCameraGrid::PaintTile(QPainter& painter, int tile) {
    const Tile& t = m_tiles[std::size_t(tile)];
    const QRect box = TileRect(tile);
    const bool current = tile == m_nCurrent;
    painter.fillRect(box, current ? palette().highlight() : palette().mid());
    const QRect inner = box.adjusted(kBorder, kBorder, -kBorder, -kBorder);
    const QRect area = inner.adjusted(0, 0, 0, -CaptionHeight());
    painter.fillRect(area, Qt::black);
    const QRect picture = PictureRect(tile);
    if (!picture.isEmpty() && t.notice.isEmpty()) {
        painter.drawImage(picture, t.pipeline->Front());
    } else {
        painter.setPen(Qt::white);
        painter.drawText(area.adjusted(kGap, kGap, -kGap, -kGap),
                         Qt::AlignCenter | Qt::TextWordWrap,
                         t.notice.isEmpty() ? QString("No picture yet") : t.notice);
    }
    const QRect caption(inner.left(), area.bottom() + 1, inner.width(), CaptionHeight());
    painter.fillRect(caption, palette().base());
    painter.setPen(palette().text().color());
    painter.drawText(caption.adjusted(kGap, kGap / 2, -kGap, 0),
                     Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, t.caption.value(0));
    painter.drawText(caption.adjusted(kGap, kGap / 2 + fontMetrics().lineSpacing(), -kGap, 0),
                     Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, t.caption.value(1));
}

void CCameraGrid::keyPressEvent(QKeyEvent* event) {
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    const int columns = Shape(TileCount()).width();
    const int column = m_nCurrent % columns;
    int next = -1;
    switch (plain ? event->key() : 0) {
        case Qt::Key_Left:
            next = column > 0 ? m_nCurrent - 1 : m_nCurrent;
            break;
        case Qt::Key_Right:
            next =
                column + 1 < columns && m_nCurrent + 1 < TileCount() ? m_nCurrent + 1 : m_nCurrent;
            break;
        case Qt::Key_Up:
            next = m_nCurrent >= columns ? m_nCurrent - columns : m_nCurrent;
            break;
        case Qt::Key_Down:
            next = m_nCurrent + columns < TileCount() ? m_nCurrent + columns : m_nCurrent;
            break;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (TileCount() > 0) emit Opened(m_nCurrent);
            event->accept();
            return;
        default:
            // The window's commands (Ctrl+Up, Ctrl+R...) go to the frame.
            QWidget::keyPressEvent(event);
            return;
    }
    SetCurrent(next);
    event->accept();
}

void CCameraGrid::mousePressEvent(QMouseEvent* event) {
    SetCurrent(TileAt(event->position().toPoint()));
    QWidget::mousePressEvent(event);
}

void CCameraGrid::mouseDoubleClickEvent(QMouseEvent* event) {
    const int tile = TileAt(event->position().toPoint());
    if (tile < 0) return;
    SetCurrent(tile);
    emit Opened(tile);
}
