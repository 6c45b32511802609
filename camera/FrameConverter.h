// Turns one raw IIDC frame into a bottom-up 24-bit BGR bitmap, through SIMD code where it helps.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "camera/BayerPattern.h"

namespace frame_simd {
struct FrameRows;
}

// Threading: configure (SetColorTables, SetConversionPath) before conversions start or while none
// runs; ConvertToBitmap is const and may run on several threads at once.
class FrameConverter {
public:
    // IIDC colour coding ids; any other id converts nothing.
    enum ColorCoding : int {
        Mono8 = 0,
        Yuv411 = 1,
        Yuv422 = 2,
        Yuv444 = 3,
        Rgb8 = 4,
        Mono16 = 5,
        Rgb16 = 6,
        Raw8 = 9,  // one byte a pixel under a Bayer colour filter
    };

    // Every path writes the same bytes; Auto picks the fastest one this processor runs.
    enum class ConversionPath { Plain, Ssse3, Avx2, Auto };

    FrameConverter();

    // Fills the five tables with the studio-range or full-range set and sets how 16-bit samples
    // shrink to 8 bits: by 8 bits when left-justified, else by significantBits - 8 (at least 0).
    void SetColorTables(bool studioRange, bool leftJustified, int significantBits);

    // Converts width x height pixels of `src` (rows packed; a 4:1:1 or 4:2:2 row always carries
    // whole sample groups) into `dst`, Stride(width) bytes a row, the first source row last.
    // Row padding is never written. Returns false, writing nothing, for an unknown coding, a size
    // that is not positive or too large (see FrameBytes), or a null buffer.
    // RAW8 is demosaiced with `pattern`, each 2 x 2 quad taking its red, its blue and the mean of
    // its greens (a last odd row or column shares the quad before it); without a pattern it shows
    // as the grey it is, like mono 8. Converting a frame in bands keeps this exact when every
    // band starts on an even row.
    bool ConvertToBitmap(int colorCoding, std::uint8_t* dst, const std::uint8_t* src, int width,
                         int height, BayerPattern pattern = BayerPattern::None) const;
    // The same, also false when a buffer is shorter than BitmapBytes or FrameBytes.
    bool ConvertToBitmap(int colorCoding, std::span<std::uint8_t> dst,
                         std::span<const std::uint8_t> src, int width, int height,
                         BayerPattern pattern = BayerPattern::None) const;

    // False, leaving the path as it was, when this processor cannot run `path`.
    bool SetConversionPath(ConversionPath path);
    // The path in use: never Auto.
    ConversionPath GetConversionPath() const { return m_path; }
    static bool IsPathSupported(ConversionPath path);
    static const char* PathName(ConversionPath path);

    // Bytes in one bitmap row: 3 x width rounded up to a multiple of 4; 0 for a bad width.
    static int Stride(int width);
    static std::size_t BitmapBytes(int width, int height);
    // Bytes of one raw frame; 0 for an unknown coding or a width or height not in 1..kMaxSize.
    static std::size_t FrameBytes(int colorCoding, int width, int height);
    static constexpr int kMaxSize = 1 << 16;

    bool IsStudioRange() const { return m_bStudioRange; }
    bool IsLeftJustified() const { return m_bLeftJustified; }
    int GetSignificantBits() const { return m_nSignificantBits; }

private:
    using Table = std::array<std::int32_t, 256>;
    // A sample group's share of the blue, green and red sums, plus the clamp table's offset.
    struct ChromaTerms {
        std::uint32_t blue;
        std::uint32_t green;
        std::uint32_t red;
    };
    // Where a YUV sample group keeps its bytes.
    template <std::size_t N>
    struct YuvGroup {
        int bytes;
        int u;
        int v;
        std::array<int, N> luma;
    };

    // Pixels a row that the SIMD path converted: 0 when it has no code for this coding.
    int ConvertSimd(int colorCoding, const frame_simd::FrameRows& rows) const;
    void ConvertRow(int colorCoding, std::uint8_t* dst, const std::uint8_t* src, int width) const;
    void RowMono8(std::uint8_t* dst, const std::uint8_t* src, int width) const;
    void RowYuv411(std::uint8_t* dst, const std::uint8_t* src, int width) const;
    void RowYuv422(std::uint8_t* dst, const std::uint8_t* src, int width) const;
    void RowYuv444(std::uint8_t* dst, const std::uint8_t* src, int width) const;
    void RowRgb8(std::uint8_t* dst, const std::uint8_t* src, int width) const;
    void RowMono16(std::uint8_t* dst, const std::uint8_t* src, int width) const;
    void RowRgb16(std::uint8_t* dst, const std::uint8_t* src, int width) const;
    static void Demosaic(BayerPattern pattern, std::uint8_t* lastRow, std::size_t stride,
                         const std::uint8_t* src, int width, int height);
    template <auto kGroup>
    void RowYuv(std::uint8_t* dst, const std::uint8_t* src, int width) const;

    ChromaTerms Chroma(int u, int v) const;
    std::uint8_t* PutYuv(std::uint8_t* dst, int y, const ChromaTerms& chroma) const;

    Table m_Rv{};
    Table m_Gu{};
    Table m_Gv{};
    Table m_Bu{};
    Table m_Yt{};
    std::array<std::uint8_t, 256> m_grey{};  // clamp(Yt[i]): mono output, chroma terms being 0
    bool m_bStudioRange = false;
    bool m_bLeftJustified = true;
    int m_nSignificantBits = 16;
    int m_nShift = 8;  // 16-bit sample to 8-bit index, 0..16
    ConversionPath m_path = ConversionPath::Plain;
};
