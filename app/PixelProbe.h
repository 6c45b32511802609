// The pixel-value pane's text: the image position and the value there, read from the camera's
// own samples where the picture shown holds less (mono 8 and 16, RGB 16), else from the picture.
#pragma once

#include <QImage>
#include <QPoint>
#include <QString>

#include <cstdint>
#include <span>

#include "camera/BayerPattern.h"

class PixelProbe {
public:
    // Whether Text reads the camera's frame for this IIDC colour coding.
    static bool NeedsRaw(int colorCoding);
    // "X 0123 Y 0456  R 200 G 180 B 020", "X 0123 Y 0456  Y 3012" (mono 16), "X 0123 Y 0456  G 180"
    // (RAW8: the sample and the colour its filter passes; "Y" without a known filter); empty
    // when `at` lies outside the picture or the frame is too short.
    static QString Text(const QImage& picture, int colorCoding, std::span<const std::uint8_t> raw,
                        QPoint at, BayerPattern bayer = BayerPattern::None);
};
