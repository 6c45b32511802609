// Builds the test picture row by row from lookup tables, and encodes it per colour coding.
#include "simbus/TestPicture.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/ByteOrder.h"

namespace simbus {
namespace {

struct Rgb {
    std::uint8_t r, g, b;
};
using Lut = std::array<std::uint8_t, 256>;

constexpr unsigned kBarStep = 8;          // pixels the bar moves per frame
constexpr unsigned kBarAlign = 4;         // whole pixel groups in every coding
constexpr Rgb kBarColour{224, 224, 224};  // scene light, before the settings
constexpr std::uint8_t kBarLevel = 191;   // 75 % colour bars
constexpr std::array<double, 3> kGammaExponents{0.45, 0.6, 0.8};

std::uint8_t Clamp8(int v) { return std::uint8_t(std::clamp(v, 0, 255)); }

// Full-range BT.601 in fixed point, the inverse of what a viewer's full-range tables undo.
std::uint8_t Luma(int r, int g, int b) { return Clamp8((77 * r + 150 * g + 29 * b + 128) >> 8); }
std::uint8_t ChromaU(int r, int g, int b) {
    return Clamp8(((-43 * r - 85 * g + 128 * b + 128) >> 8) + 128);
}
std::uint8_t ChromaV(int r, int g, int b) {
    return Clamp8(((128 * r - 107 * g - 21 * b + 128) >> 8) + 128);
}

// 16-bit codings carry 10 significant bits, right-justified, high byte first.
void Store10(std::uint8_t* out, std::uint8_t v) {
    const unsigned wide = unsigned(v) << 2 | unsigned(v) >> 6;
    out[0] = std::uint8_t(wide >> 8);
    out[1] = std::uint8_t(wide);
}

// Luma of a group of n pixels, chroma from their mean colour.
void GroupChroma(const Rgb* px, unsigned n, std::uint8_t& u, std::uint8_t& v) {
    int r = 0, g = 0, b = 0;
    for (unsigned i = 0; i < n; ++i) r += px[i].r, g += px[i].g, b += px[i].b;
    r /= int(n), g /= int(n), b /= int(n);
    u = ChromaU(r, g, b);
    v = ChromaV(r, g, b);
}
std::uint8_t LumaOf(const Rgb& p) { return Luma(p.r, p.g, p.b); }

// Which channel (0 red, 1 green, 2 blue) each place of a 2 x 2 quad sees, top row first, for
// the mosaics RGGB, GBRG, GRBG and BGGR.
constexpr std::array<std::array<std::uint8_t, 4>, 4> kMosaics{
    {{0, 1, 1, 2}, {1, 2, 0, 1}, {1, 0, 2, 1}, {2, 1, 1, 0}}};

std::uint8_t Channel(const Rgb& p, unsigned channel) {
    return channel == 0 ? p.r : channel == 1 ? p.g : p.b;
}

// Encodes row y of a frame of format f (a whole number of groups); out holds the row's bytes.
void EncodeRow(const FrameFormat& f, unsigned y, std::span<const Rgb> px, std::uint8_t* out) {
    const std::size_t n = px.size();
    std::uint8_t u = 0, v = 0;
    switch (f.coding) {
        case ColorCoding::Mono8:
            for (std::size_t x = 0; x < n; ++x) out[x] = LumaOf(px[x]);
            break;
        case ColorCoding::Raw8: {
            const auto& quad = kMosaics[f.mosaic % kMosaics.size()];
            const std::size_t row = 2 * (y % 2);
            for (std::size_t x = 0; x < n; ++x) out[x] = Channel(px[x], quad[row + x % 2]);
            break;
        }
        case ColorCoding::Mono16:
            for (std::size_t x = 0; x < n; ++x) Store10(out + 2 * x, LumaOf(px[x]));
            break;
        case ColorCoding::Rgb8:
            for (std::size_t x = 0; x < n; ++x, out += 3) {
                out[0] = px[x].r, out[1] = px[x].g, out[2] = px[x].b;
            }
            break;
        case ColorCoding::Rgb16:
            for (std::size_t x = 0; x < n; ++x, out += 6) {
                Store10(out, px[x].r), Store10(out + 2, px[x].g), Store10(out + 4, px[x].b);
            }
            break;
        case ColorCoding::Yuv444:
            for (std::size_t x = 0; x < n; ++x, out += 3) {
                GroupChroma(&px[x], 1, u, v);
                out[0] = u, out[1] = LumaOf(px[x]), out[2] = v;
            }
            break;
        case ColorCoding::Yuv422:
            for (std::size_t x = 0; x + 2 <= n; x += 2, out += 4) {
                GroupChroma(&px[x], 2, u, v);
                out[0] = u, out[1] = LumaOf(px[x]), out[2] = v, out[3] = LumaOf(px[x + 1]);
            }
            break;
        case ColorCoding::Yuv411:
            for (std::size_t x = 0; x + 4 <= n; x += 4, out += 6) {
                GroupChroma(&px[x], 4, u, v);
                out[0] = u, out[1] = LumaOf(px[x]), out[2] = LumaOf(px[x + 1]);
                out[3] = v, out[4] = LumaOf(px[x + 2]), out[5] = LumaOf(px[x + 3]);
            }
            break;
        case ColorCoding::None:
            break;
    }
}

// One channel's path: exposure, gain and white balance scale, brightness offsets, gamma bends.
Lut ChannelLut(const PictureSettings& s, std::uint32_t scale) {
    Lut curve;
    for (unsigned i = 0; i < 256; ++i) {
        curve[i] = std::uint8_t(i);
        if (s.gamma > 0) {
            const double e = kGammaExponents[std::min<std::size_t>(s.gamma, 3) - 1];
            curve[i] = std::uint8_t(std::lround(255.0 * std::pow(i / 255.0, e)));
        }
    }
    Lut lut;
    for (unsigned i = 0; i < 256; ++i) {
        const std::uint64_t lit = (std::uint64_t{i} * scale + PictureSettings::kUnitScale / 2) /
                                  PictureSettings::kUnitScale;
        lut[i] = curve[Clamp8(int(std::min<std::uint64_t>(lit, 511)) + s.brightness)];
    }
    return lut;
}

// Saturation mixes each channel with the pixel's luma; the negative inverts last.
Rgb Finish(const PictureSettings& s, int r, int g, int b) {
    Rgb p{std::uint8_t(r), std::uint8_t(g), std::uint8_t(b)};
    if (s.saturation != 128) {
        const int y = (77 * r + 150 * g + 29 * b) >> 8;
        const int k = int(s.saturation);
        p = {Clamp8(y + (((r - y) * k) >> 7)), Clamp8(y + (((g - y) * k) >> 7)),
             Clamp8(y + (((b - y) * k) >> 7))};
    }
    if (s.negative) p = {std::uint8_t(255 - p.r), std::uint8_t(255 - p.g), std::uint8_t(255 - p.b)};
    return p;
}

std::size_t RowBytes(const FrameFormat& f) {
    return std::size_t(f.width) * BitsPerPixel(f.coding) / 8;
}

}  // namespace

void TestPicture::Render(const FrameFormat& format, const PictureSettings& settings,
                         std::uint32_t counter, std::span<std::uint8_t> frame) {
    if (!m_ready || !(format == m_format) || !(settings == m_settings)) Prepare(format, settings);
    const std::size_t n = std::min(frame.size(), m_background.size());
    if (n > 0) std::memcpy(frame.data(), m_background.data(), n);
    DrawBar(counter, frame.first(n));
    if (n >= 4) platform::StoreBE32(frame.data(), counter);
}

void TestPicture::Prepare(const FrameFormat& format, const PictureSettings& settings) {
    m_format = format;
    m_settings = settings;
    m_ready = true;
    m_background.assign(FrameBytes(format), 0);
    m_barRows.clear();
    m_meanLevel = -1;
    if (m_background.empty()) return;
    if (settings.colourBars)
        PrepareColourBars();
    else
        PrepareScene();
}

// Red rises and blue falls across the sensor, green rises down it: every setting shows in the
// channel means, and a window of the sensor shows its own part of the scene.
void TestPicture::PrepareScene() {
    const FrameFormat& f = m_format;
    const PictureSettings& s = m_settings;
    const Lut red = ChannelLut(s, s.scale[0]), green = ChannelLut(s, s.scale[1]),
              blue = ChannelLut(s, s.scale[2]);
    const unsigned sw = std::max(f.sensorWidth, 1u), sh = std::max(f.sensorHeight, 1u);
    std::vector<std::uint8_t> rowRed(f.width), rowBlue(f.width);
    for (unsigned x = 0; x < f.width; ++x) {
        const unsigned sx = std::min(f.left + x, sw - 1);
        rowRed[x] = red[32 + 192 * sx / sw];
        rowBlue[x] = blue[224 - 192 * sx / sw];
    }
    std::vector<Rgb> row(f.width);
    const std::size_t rowBytes = RowBytes(f);
    unsigned previousLevel = 256;
    double lumaSum = 0, rowLuma = 0;
    // A mosaic alternates its rows, so it repeats the row two above.
    const unsigned period = f.coding == ColorCoding::Raw8 ? 2 : 1;
    std::vector<unsigned> levels(f.height);
    for (unsigned y = 0; y < f.height; ++y) {
        std::uint8_t* out = m_background.data() + y * rowBytes;
        // Green takes 160 levels down the sensor, so most rows repeat the one above.
        const unsigned level = 48 + 160 * std::min(f.top + y, sh - 1) / sh;
        levels[y] = level;
        if (level != previousLevel) {
            previousLevel = level;
            rowLuma = 0;
            for (unsigned x = 0; x < f.width; ++x) {
                rowLuma += Luma(rowRed[x], green[level], rowBlue[x]);
                row[x] = Finish(s, rowRed[x], green[level], rowBlue[x]);
            }
        }
        if (y >= period && levels[y - period] == level)
            std::memcpy(out, out - period * rowBytes, rowBytes);
        else
            EncodeRow(f, y, row, out);
        lumaSum += rowLuma;
    }
    m_meanLevel = lumaSum / (double(f.width) * f.height);
    const Rgb bar = Finish(s, red[kBarColour.r], green[kBarColour.g], blue[kBarColour.b]);
    row.assign(f.width, bar);
    m_barRows.resize(period * rowBytes);
    for (unsigned y = 0; y < period; ++y) EncodeRow(f, y, row, m_barRows.data() + y * rowBytes);
}

// White, yellow, cyan, green, magenta, red, blue, black: the camera's own reference signal.
void TestPicture::PrepareColourBars() {
    const FrameFormat& f = m_format;
    constexpr std::uint8_t L = kBarLevel;
    constexpr std::array<Rgb, 8> kBars{
        {{L, L, L}, {L, L, 0}, {0, L, L}, {0, L, 0}, {L, 0, L}, {L, 0, 0}, {0, 0, L}, {0, 0, 0}}};
    std::vector<Rgb> row(f.width);
    for (unsigned x = 0; x < f.width; ++x) row[x] = kBars[x * 8 / f.width];
    const std::size_t rowBytes = RowBytes(f);
    const unsigned period = f.coding == ColorCoding::Raw8 ? 2 : 1;
    for (unsigned y = 0; y < f.height; ++y) {
        std::uint8_t* out = m_background.data() + y * rowBytes;
        if (y < period)
            EncodeRow(f, y, row, out);
        else
            std::memcpy(out, out - period * rowBytes, rowBytes);
    }
}

// A vertical bar of a sixteenth of the width, moving kBarStep pixels per frame and wrapping.
void TestPicture::DrawBar(std::uint32_t counter, std::span<std::uint8_t> frame) const {
    const unsigned w = m_format.width;
    const unsigned period = m_format.coding == ColorCoding::Raw8 ? 2 : 1;
    if (m_barRows.empty() || w % kBarAlign != 0) return;
    const unsigned barWidth = std::max(kBarAlign, w / 16 / kBarAlign * kBarAlign);
    const unsigned x0 = unsigned(std::uint64_t{counter} * kBarStep % w) / kBarAlign * kBarAlign;
    const unsigned bits = BitsPerPixel(m_format.coding);
    const std::size_t rowBytes = m_barRows.size() / period;
    const auto paint = [&](unsigned from, unsigned to) {
        const std::size_t at = std::size_t(from) * bits / 8,
                          len = std::size_t(to - from) * bits / 8;
        for (std::size_t row = 0; (row + 1) * rowBytes <= frame.size(); ++row) {
            std::memcpy(frame.data() + row * rowBytes + at,
                        m_barRows.data() + row % period * rowBytes + at, len);
        }
    };
    paint(x0, std::min(x0 + barWidth, w));
    if (x0 + barWidth > w) paint(0, x0 + barWidth - w);
}

}  // namespace simbus
