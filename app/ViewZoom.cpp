// The view's scale and its coordinate arithmetic.
#include "app/ViewZoom.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace {

// Steps a user can tell apart, each about 1.4 times the last.
constexpr std::array<double, 13> kSteps{1.0 / 8, 1.0 / 6, 1.0 / 4, 1.0 / 3, 1.0 / 2, 2.0 / 3, 1.0,
                                        1.5,       2.0,       3.0,       4.0,       6.0,       8.0};
// A fitted scale between two steps still zooms to the nearer one of them.
constexpr double kSlack = 1e-9;

int Scaled(int length, double scale) {
    return length <= 0 ? 0 : std::max(1, int(std::floor(length * scale + kSlack)));
}

}  // namespace

bool ViewZoom::CanZoomIn() const { return m_scale < kMax - kSlack; }
bool ViewZoom::CanZoomOut() const { return m_scale > kMin + kSlack; }

void ViewZoom::ZoomIn() {
    const auto next = std::upper_bound(kSteps.begin(), kSteps.end(), m_scale + kSlack);
    SetScale(next == kSteps.end() ? kMax : *next);
}

void ViewZoom::ZoomOut() {
    const auto next = std::lower_bound(kSteps.begin(), kSteps.end(), m_scale - kSlack);
    SetScale(next == kSteps.begin() ? kMin : *(next - 1));
}

void ViewZoom::SetScale(double scale) {
    m_scale = std::isfinite(scale) ? std::clamp(scale, kMin, kMax) : 1.0;
    m_bFit = false;
}

void ViewZoom::Fit(QSize area, QSize image) {
    m_bFit = true;
    if (image.isEmpty() || area.isEmpty()) return;  // keeps the last scale until there is room
    const double scale = std::min(double(area.width()) / image.width(),
                                  double(area.height()) / image.height());
    m_scale = std::clamp(scale, kMin, kMax);
}

QSize ViewZoom::Zoomed(QSize image) const {
    return {Scaled(image.width(), m_scale), Scaled(image.height(), m_scale)};
}

// Per axis from the sizes drawn, which the rounding makes differ slightly from the scale.
QPoint ViewZoom::ToImage(QPoint point, QPoint scroll, QSize image) const {
    const QSize shown = Zoomed(image);
    if (shown.isEmpty()) return {-1, -1};
    // The first and last screen pixels are the first and last image pixels, so the corners
    // read as corners at any scale.
    auto axis = [](int at, int length, int drawn) {
        return drawn <= 1 ? 0 : int(std::floor(double(at) * (length - 1) / (drawn - 1) + 0.5));
    };
    return {axis(point.x() + scroll.x(), image.width(), shown.width()),
            axis(point.y() + scroll.y(), image.height(), shown.height())};
}

QPoint ViewZoom::ScrollFor(QPoint at, QPoint point, QSize image) const {
    const QSize shown = Zoomed(image);
    if (image.isEmpty()) return {0, 0};
    return {int(std::lround(double(at.x()) * shown.width() / image.width())) - point.x(),
            int(std::lround(double(at.y()) * shown.height() / image.height())) - point.y()};
}
