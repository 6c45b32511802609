// The grid of camera tiles filling the grid window: each tile the live picture of one camera,
// fitted, with its two caption lines beneath, or the sentence saying why it shows none. The
// current tile is framed; arrow keys move it, Enter or a double-click opens it.
//
// Threading: the window's thread only.
#pragma once

#include <QSize>
#include <QStringList>
#include <QWidget>

#include <vector>

class DisplayPipeline;

class CCameraGrid : public QWidget {
    Q_OBJECT
public:
    struct Tile {
        DisplayPipeline* pipeline = nullptr;  // the picture, while it has one
        QStringList caption;
        QString notice;  // shown over the tile instead of a picture
    };

    explicit CCameraGrid(QWidget* parent = nullptr);

    // Columns and rows for that many tiles: 1 x 1, 2 x 1, 2 x 2, then as square as fits.
    static QSize Shape(int tiles);

    void SetTileCount(int count);
    int TileCount() const { return int(m_tiles.size()); }
    Tile& At(int tile) { return m_tiles[std::size_t(tile)]; }
    // The tile's place, caption included, and the part its picture fills.
    QRect TileRect(int tile) const;
    QRect PictureRect(int tile) const;
    int TileAt(const QPoint& point) const;
    // The size that shows every tile's picture at `picture`.
    QSize SizeFor(const QSize& picture) const;
    int Current() const { return m_nCurrent; }
    void SetCurrent(int tile);

signals:
    void Opened(int tile);
    void CurrentChanged(int tile);

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    int CaptionHeight() const;
    void PaintTile(QPainter& painter, int tile);

    std::vector<Tile> m_tiles;
    int m_nCurrent = 0;
};
