// The pixel value under the pointer.
#include "app/PixelProbe.h"

namespace {

enum Coding { kMono8 = 0, kMono16 = 5, kRgb16 = 6, kRaw8 = 9 };

unsigned BigEndian16(const std::uint8_t* p) { return unsigned(p[0]) << 8 | p[1]; }

}  // namespace

bool PixelProbe::NeedsRaw(int colorCoding) {
    return colorCoding == kMono8 || colorCoding == kMono16 || colorCoding == kRgb16 ||
           colorCoding == kRaw8;
}

QString PixelProbe::Text(const QImage& picture, int colorCoding, std::span<const std::uint8_t> raw,
                         QPoint at, BayerPattern bayer) {
    if (!picture.rect().contains(at)) return {};
    const QString where = QString::asprintf("X %04d Y %04d  ", at.x(), at.y());
    const std::size_t index = std::size_t(at.y()) * std::size_t(picture.width()) + at.x();
    const std::size_t bytes[] = {1, 0, 0, 0, 0, 2, 6, 0, 0, 1};
    if (NeedsRaw(colorCoding)) {
        const std::size_t size = bytes[colorCoding];
        if (raw.size() < (index + 1) * size) return {};
        const std::uint8_t* p = raw.data() + index * size;
        if (colorCoding == kRaw8 && bayer != BayerPattern::None) {
            // The pattern names the top-left quad row by row, as "rggb".
            const char seen = BayerPatternName(bayer)[(at.y() & 1) * 2 + (at.x() & 1)];
            return where + QString::asprintf("%c %03u", seen - 'a' + 'A', unsigned(p[0]));
        }
        if (colorCoding == kMono8 || colorCoding == kRaw8)
            return where + QString::asprintf("Y %03u", unsigned(p[0]));
        if (colorCoding == kMono16) return where + QString::asprintf("Y %04u", BigEndian16(p));
        return where + QString::asprintf("R %05u G %05u B %05u", BigEndian16(p), BigEndian16(p + 2),
                                         BigEndian16(p + 4));
    }
    const QRgb rgb = picture.pixel(at);
    return where + QString::asprintf("R %03d G %03d B %03d", qRed(rgb), qGreen(rgb), qBlue(rgb));
}
