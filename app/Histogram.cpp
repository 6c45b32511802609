// Counting a picture's histogram.
#include "app/Histogram.h"

namespace {

constexpr QRgb kClipped = 0xFFFF0000u;  // opaque red
constexpr int kMono16 = 5;

QImage OverlayFor(int width, int height) {
    QImage overlay(width, height, QImage::Format_ARGB32_Premultiplied);
    overlay.fill(Qt::transparent);
    return overlay;
}

}  // namespace

Histogram Histogram::Count(const QImage& picture, int colorCoding,
                           std::span<const std::uint8_t> raw, bool overlay) {
    Histogram h;
    const auto samples = std::size_t(picture.width()) * std::size_t(picture.height());
    if (colorCoding == kMono16 && raw.size() >= 2 * samples)
        h.CountMono16(raw, picture.width(), picture.height(), overlay);
    else if (!picture.isNull())
        h.CountPicture(picture, overlay);
    return h;
}

void Histogram::CountPicture(const QImage& picture, bool overlay) {
    const int width = picture.width(), height = picture.height();
    if (overlay) m_overexposed = OverlayFor(width, height);
    m_bMono = true;
    for (int y = 0; y < height; ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(picture.constScanLine(y));
        QRgb* mask = overlay ? reinterpret_cast<QRgb*>(m_overexposed.scanLine(y)) : nullptr;
        for (int x = 0; x < width; ++x) {
            const int r = qRed(row[x]), g = qGreen(row[x]), b = qBlue(row[x]);
            // Rec. 601 weights in 8-bit fixed point; they sum to 256, so white stays 255.
            const int luma = (77 * r + 150 * g + 29 * b + 128) >> 8;
            ++m_bins[Red][r];
            ++m_bins[Green][g];
            ++m_bins[Blue][b];
            ++m_bins[Luminance][luma];
            m_bMono = m_bMono && r == g && g == b;
            if (mask && (r == 255 || g == 255 || b == 255)) mask[x] = kClipped;
        }
    }
    m_nPixels = std::uint64_t(width) * std::uint64_t(height);
    for (int c = 0; c < kChannels; ++c) {
        m_low[c] = m_bins[c][0];
        m_high[c] = m_bins[c][kBins - 1];
    }
}

void Histogram::CountMono16(std::span<const std::uint8_t> raw, int width, int height,
                            bool overlay) {
    if (overlay) m_overexposed = OverlayFor(width, height);
    m_bMono = true;
    const std::uint8_t* sample = raw.data();
    for (int y = 0; y < height; ++y) {
        QRgb* mask = overlay ? reinterpret_cast<QRgb*>(m_overexposed.scanLine(y)) : nullptr;
        for (int x = 0; x < width; ++x, sample += 2) {
            const unsigned value = unsigned(sample[0]) << 8 | sample[1];
            ++m_bins[Luminance][value >> 8];
            if (value == 0) ++m_low[Luminance];
            if (value == 0xFFFF) {
                ++m_high[Luminance];
                if (mask) mask[x] = kClipped;
            }
        }
    }
    m_nPixels = std::uint64_t(width) * std::uint64_t(height);
}
