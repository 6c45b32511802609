// The view's scale: steps from 1/8 to 8 times, or fitting the whole picture into the window,
// and the arithmetic between window and image coordinates at that scale.
#pragma once

#include <QPoint>
#include <QSize>

class ViewZoom {
public:
    static constexpr double kMin = 1.0 / 8, kMax = 8.0;

    double Scale() const { return m_scale; }
    bool Fitting() const { return m_bFit; }
    bool CanZoomIn() const;
    bool CanZoomOut() const;

    // To the next step up or down; both end fitting.
    void ZoomIn();
    void ZoomOut();
    // A fixed scale (clamped to the steps' range); ends fitting.
    void SetScale(double scale);
    // Fits from now on: the scale that shows the whole image in `area`. Refit on every resize.
    void Fit(QSize area, QSize image);
    void Refit(QSize area, QSize image) {
        if (m_bFit) Fit(area, image);
    }

    // The image's size on screen, never larger than it at the scale (so a fit never scrolls).
    QSize Zoomed(QSize image) const;
    // The image pixel at a point of the window scrolled to `scroll` (may lie outside it).
    QPoint ToImage(QPoint point, QPoint scroll, QSize image) const;
    // The scroll position that puts image point `at` under window point `point`.
    QPoint ScrollFor(QPoint at, QPoint point, QSize image) const;

private:
    double m_scale = 1.0;
    bool m_bFit = false;
};
