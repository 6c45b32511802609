// Frame conversion: colour tables, the plain row code and the choice of the SIMD path.
#include "camera/FrameConverter.h"

#include <algorithm>
#include <utility>

#include "camera/FrameConverterSimd.h"

namespace {

using frame_simd::ColorCoefficients;

// ITU-R BT.601 times 256: studio range (Y 16..235) and full range (Y 0..255).
constexpr ColorCoefficients kStudioRange{409, -100, -208, 517, 298, 16};
constexpr ColorCoefficients kFullRange{359, -88, -183, 454, 256, 0};

struct SampleGroup {
    int pixels;
    int bytes;
};
// Indexed by colour coding id; 7 and 8 (signed 16-bit codings) are not converted.
constexpr std::array<SampleGroup, 10> kGroups{
    {{1, 1}, {4, 6}, {2, 4}, {1, 3}, {1, 3}, {1, 2}, {1, 6}, {0, 0}, {0, 0}, {1, 1}}};

// Clamping floor(s / 256) to 0..255 through a table keeps branches out of the pixel loops; it
// covers every sum the tables can make (checked below). Sums carrying kClampBias are never
// negative, so they index the table unsigned.
constexpr int kClampOffset = 384;
constexpr std::uint32_t kClampBias = kClampOffset * 256;
constexpr std::array<std::uint8_t, 1024> kClamp = [] {
    std::array<std::uint8_t, 1024> table{};
    for (int i = 0; i < 1024; ++i)
        table[i] = static_cast<std::uint8_t>(std::clamp(i - kClampOffset, 0, 255));
    return table;
}();

inline std::uint8_t ClampBiased(std::uint32_t biasedSum) { return kClamp[biasedSum >> 8]; }
inline std::uint8_t Clamp(int sum) {
    return ClampBiased(static_cast<std::uint32_t>(sum) + kClampBias);
}

constexpr bool SumsFitClampTable(const ColorCoefficients& c) {
    const int lumaLow = c.y * -c.yOffset;
    const int lumaHigh = c.y * (255 - c.yOffset);
    auto low = [](int k) { return std::min(k * -128, k * 127); };
    auto high = [](int k) { return std::max(k * -128, k * 127); };
    const int lowest = lumaLow + std::min({low(c.bu), low(c.gu) + low(c.gv), low(c.rv)});
    const int highest = lumaHigh + std::max({high(c.bu), high(c.gu) + high(c.gv), high(c.rv)});
    return (lowest >> 8) + kClampOffset >= 0 && (highest >> 8) + kClampOffset < 1024;
}
static_assert(SumsFitClampTable(kStudioRange) && SumsFitClampTable(kFullRange));

const ColorCoefficients& CoefficientsFor(bool studioRange) {
    return studioRange ? kStudioRange : kFullRange;
}

// Source bytes of one row: whole sample groups, a trailing partial group included.
std::size_t RowBytes(int colorCoding, int width) {
    const SampleGroup group = kGroups[colorCoding];
    return static_cast<std::size_t>((width + group.pixels - 1) / group.pixels) * group.bytes;
}

bool IsKnownCoding(int colorCoding) {
    return colorCoding >= 0 && colorCoding < static_cast<int>(kGroups.size()) &&
           kGroups[static_cast<std::size_t>(colorCoding)].pixels != 0;
}

// Where red and blue sit in a 2 x 2 quad (top row 0 and 1, second row 2 and 3); the greens
// take the other two places.
struct QuadLayout {
    int red;
    int blue;
};

QuadLayout LayoutOf(BayerPattern pattern) {
    switch (pattern) {
        case BayerPattern::Gbrg:
            return {2, 1};
        case BayerPattern::Grbg:
            return {1, 2};
        case BayerPattern::Bggr:
            return {3, 0};
        default:
            return {0, 3};
    }
}

// The first line of the quad that covers line i of size lines: a last odd line shares the
// quad before it, so that every quad keeps the filter's phase.
int QuadStart(int i, int size) {
    const int q = i & ~1;
    return q + 1 < size ? q : std::max(q - 2, 0);
}

bool IsValidSize(int width, int height) {
    return width >= 1 && width <= FrameConverter::kMaxSize && height >= 1 &&
           height <= FrameConverter::kMaxSize;
}

std::uint8_t* PutGrey(std::uint8_t* dst, std::uint8_t grey) {
    dst[0] = dst[1] = dst[2] = grey;
    return dst + 3;
}

}  // namespace

FrameConverter::FrameConverter() {
    SetColorTables(false, true, 16);
    SetConversionPath(ConversionPath::Auto);
}

void FrameConverter::SetColorTables(bool studioRange, bool leftJustified, int significantBits) {
    const ColorCoefficients& c = CoefficientsFor(studioRange);
    for (int i = 0; i < 256; ++i) {
        m_Rv[i] = c.rv * (i - 128);
        m_Gu[i] = c.gu * (i - 128);
        m_Gv[i] = c.gv * (i - 128);
        m_Bu[i] = c.bu * (i - 128);
        m_Yt[i] = c.y * (i - c.yOffset);
        m_grey[i] = Clamp(m_Yt[i]);
    }
    m_bStudioRange = studioRange;
    m_bLeftJustified = leftJustified;
    m_nSignificantBits = significantBits;
    // A shift past 16 empties a 16-bit sample just as 16 does, without an oversized shift.
    m_nShift = leftJustified ? 8 : std::clamp(significantBits - 8, 0, 16);
}

bool FrameConverter::SetConversionPath(ConversionPath path) {
    if (path == ConversionPath::Auto) {
        m_path = IsPathSupported(ConversionPath::Avx2)    ? ConversionPath::Avx2
                 : IsPathSupported(ConversionPath::Ssse3) ? ConversionPath::Ssse3
                                                          : ConversionPath::Plain;
        return true;
    }
    if (!IsPathSupported(path)) return false;
    m_path = path;
    return true;
}

bool FrameConverter::IsPathSupported(ConversionPath path) { return frame_simd::CpuSupports(path); }

const char* FrameConverter::PathName(ConversionPath path) {
    switch (path) {
        case ConversionPath::Plain:
            return "Plain";
        case ConversionPath::Ssse3:
            return "Ssse3";
        case ConversionPath::Avx2:
            return "Avx2";
        default:
            return "Auto";
    }
}

int FrameConverter::Stride(int width) {
    if (width < 0 || width > kMaxSize) return 0;
    return (3 * width + 3) & ~3;
}

std::size_t FrameConverter::BitmapBytes(int width, int height) {
    if (!IsValidSize(width, height)) return 0;
    return static_cast<std::size_t>(Stride(width)) * static_cast<std::size_t>(height);
}

std::size_t FrameConverter::FrameBytes(int colorCoding, int width, int height) {
    if (!IsKnownCoding(colorCoding) || !IsValidSize(width, height)) return 0;
    return RowBytes(colorCoding, width) * static_cast<std::size_t>(height);
}

bool FrameConverter::ConvertToBitmap(int colorCoding, std::span<std::uint8_t> dst,
                                     std::span<const std::uint8_t> src, int width, int height,
                                     BayerPattern pattern) const {
    const std::size_t frameBytes = FrameBytes(colorCoding, width, height);
    if (frameBytes == 0 || src.size() < frameBytes || dst.size() < BitmapBytes(width, height))
        return false;
    return ConvertToBitmap(colorCoding, dst.data(), src.data(), width, height, pattern);
}

bool FrameConverter::ConvertToBitmap(int colorCoding, std::uint8_t* dst, const std::uint8_t* src,
                                     int width, int height, BayerPattern pattern) const {
    if (dst == nullptr || src == nullptr || FrameBytes(colorCoding, width, height) == 0)
        return false;

    const std::size_t stride = static_cast<std::size_t>(Stride(width));
    std::uint8_t* const lastRow = dst + stride * static_cast<std::size_t>(height - 1);
    if (colorCoding == Raw8) {
        if (pattern != BayerPattern::None) {
            Demosaic(pattern, lastRow, stride, src, width, height);
            return true;
        }
        colorCoding = Mono8;
    }
    const std::size_t srcRow = RowBytes(colorCoding, width);
    const int done = ConvertSimd(colorCoding, {lastRow, -static_cast<std::ptrdiff_t>(stride), src,
                                               static_cast<std::ptrdiff_t>(srcRow), width, height});
    if (done == width) return true;

    const std::size_t srcDone =
        static_cast<std::size_t>(done / kGroups[colorCoding].pixels) * kGroups[colorCoding].bytes;
    for (int y = 0; y < height; ++y) {
        std::uint8_t* dstRow = lastRow - stride * static_cast<std::size_t>(y);
        const std::uint8_t* srcRowStart = src + srcRow * static_cast<std::size_t>(y);
        ConvertRow(colorCoding, dstRow + 3 * static_cast<std::size_t>(done), srcRowStart + srcDone,
                   width - done);
    }
    return true;
}

int FrameConverter::ConvertSimd(int colorCoding, const frame_simd::FrameRows& rows) const {
    const frame_simd::FrameKernel kernel = frame_simd::KernelFor(m_path, colorCoding);
    frame_simd::SplitCoefficients split{};
    if (kernel == nullptr || !frame_simd::SplitExactly(CoefficientsFor(m_bStudioRange), split))
        return 0;
    return kernel(split, rows);
}

void FrameConverter::ConvertRow(int colorCoding, std::uint8_t* dst, const std::uint8_t* src,
                                int width) const {
    using RowFunction = void (FrameConverter::*)(std::uint8_t*, const std::uint8_t*, int) const;
    static constexpr std::array<RowFunction, 7> kRows{
        &FrameConverter::RowMono8,  &FrameConverter::RowYuv411, &FrameConverter::RowYuv422,
        &FrameConverter::RowYuv444, &FrameConverter::RowRgb8,   &FrameConverter::RowMono16,
        &FrameConverter::RowRgb16};
    (this->*kRows[colorCoding])(dst, src, width);
}

inline FrameConverter::ChromaTerms FrameConverter::Chroma(int u, int v) const {
    auto biased = [](std::int32_t term) { return static_cast<std::uint32_t>(term) + kClampBias; };
    return {biased(m_Bu[u]), biased(m_Gu[u] + m_Gv[v]), biased(m_Rv[v])};
}

inline std::uint8_t* FrameConverter::PutYuv(std::uint8_t* dst, int y,
                                            const ChromaTerms& chroma) const {
    const auto luma = static_cast<std::uint32_t>(m_Yt[y]);  // wraps back into range with the bias
    dst[0] = ClampBiased(luma + chroma.blue);
    dst[1] = ClampBiased(luma + chroma.green);
    dst[2] = ClampBiased(luma + chroma.red);
    return dst + 3;
}

template <auto kGroup>
void FrameConverter::RowYuv(std::uint8_t* dst, const std::uint8_t* src, int width) const {
    constexpr int kPixels = static_cast<int>(kGroup.luma.size());
    const int wholeGroups = width / kPixels;
    for (int g = 0; g < wholeGroups; ++g, src += kGroup.bytes) {
        const ChromaTerms chroma = Chroma(src[kGroup.u], src[kGroup.v]);
        // Spelled out per pixel: a loop over the offsets is not unrolled at -O2.
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((dst = PutYuv(dst, src[kGroup.luma[I]], chroma)), ...);
        }
        (std::make_index_sequence<kPixels>{});
    }
    const int rest = width - wholeGroups * kPixels;
    if (rest > 0) {
        const ChromaTerms chroma = Chroma(src[kGroup.u], src[kGroup.v]);
        for (int i = 0; i < rest; ++i) dst = PutYuv(dst, src[kGroup.luma[i]], chroma);
    }
}

void FrameConverter::RowMono8(std::uint8_t* dst, const std::uint8_t* src, int width) const {
    for (int x = 0; x < width; ++x) dst = PutGrey(dst, m_grey[src[x]]);
}

void FrameConverter::RowYuv411(std::uint8_t* dst, const std::uint8_t* src, int width) const {
    RowYuv<YuvGroup<4>{6, 0, 3, {1, 2, 4, 5}}>(dst, src, width);
}

void FrameConverter::RowYuv422(std::uint8_t* dst, const std::uint8_t* src, int width) const {
    RowYuv<YuvGroup<2>{4, 0, 2, {1, 3}}>(dst, src, width);
}

void FrameConverter::RowYuv444(std::uint8_t* dst, const std::uint8_t* src, int width) const {
    RowYuv<YuvGroup<1>{3, 0, 2, {1}}>(dst, src, width);
}

void FrameConverter::RowRgb8(std::uint8_t* dst, const std::uint8_t* src, int width) const {
    for (int x = 0; x < width; ++x, src += 3, dst += 3) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
    }
}

void FrameConverter::RowMono16(std::uint8_t* dst, const std::uint8_t* src, int width) const {
    const int shift = m_nShift;
    for (int x = 0; x < width; ++x, src += 2)
        dst = PutGrey(dst, m_grey[((src[0] << 8 | src[1]) >> shift) & 0xFF]);
}

void FrameConverter::RowRgb16(std::uint8_t* dst, const std::uint8_t* src, int width) const {
    // Only the high byte of each sample counts: x 257 spreads it over 16 bits before the shift.
    const int shift = m_nShift;
    auto reduce = [shift](std::uint8_t high) {
        return static_cast<std::uint8_t>((high * 257) >> shift);
    };
    for (int x = 0; x < width; ++x, src += 6, dst += 3) {
        dst[0] = reduce(src[4]);
        dst[1] = reduce(src[2]);
        dst[2] = reduce(src[0]);
    }
}

void FrameConverter::Demosaic(BayerPattern pattern, std::uint8_t* lastRow, std::size_t stride,
                              const std::uint8_t* src, int width, int height) {
    const QuadLayout at = LayoutOf(pattern);
    const auto line = [&](int y) { return src + static_cast<std::size_t>(y) * std::size_t(width); };
    for (int qy = 0; qy < height; qy += 2) {
        const int top = QuadStart(qy, height);
        const std::uint8_t* upper = line(top);
        const std::uint8_t* lower = line(std::min(top + 1, height - 1));
        const int rows = std::min(2, height - qy);
        for (int qx = 0; qx < width; qx += 2) {
            const int left = QuadStart(qx, width);
            const int right = std::min(left + 1, width - 1);
            const std::array<int, 4> s{upper[left], upper[right], lower[left], lower[right]};
            const int red = s[std::size_t(at.red)];
            const int blue = s[std::size_t(at.blue)];
            const auto green =
                static_cast<std::uint8_t>((s[0] + s[1] + s[2] + s[3] - red - blue + 1) / 2);
            const int columns = std::min(2, width - qx);
            for (int dy = 0; dy < rows; ++dy) {
                std::uint8_t* out = lastRow - stride * static_cast<std::size_t>(qy + dy) +
                                    3 * static_cast<std::size_t>(qx);
                for (int dx = 0; dx < columns; ++dx, out += 3) {
                    out[0] = static_cast<std::uint8_t>(blue);
                    out[1] = green;
                    out[2] = static_cast<std::uint8_t>(red);
                }
            }
        }
    }
}
