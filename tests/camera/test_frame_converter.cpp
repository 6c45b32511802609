// Frame conversion: known pixels, layout and bounds, and every SIMD path against the plain code.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "camera/FrameConverter.h"

namespace {

using Path = FrameConverter::ConversionPath;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kFill = 0xA5;
constexpr int kAllCodings = 7;

struct Bgr {
    int blue;
    int green;
    int red;
    bool operator==(const Bgr&) const = default;
};

std::vector<Path> SupportedSimdPaths() {
    std::vector<Path> paths;
    for (Path p : {Path::Ssse3, Path::Avx2})
        if (FrameConverter::IsPathSupported(p)) paths.push_back(p);
    return paths;
}

Bytes RandomBytes(std::size_t size, std::mt19937& rng) {
    Bytes bytes(size);
    std::uniform_int_distribution<int> byte(0, 255);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(byte(rng));
    return bytes;
}

// A destination with guard bytes on both sides; every byte starts out as kFill.
struct Canvas {
    static constexpr std::size_t kGuard = 64;
    Bytes bytes;
    int width;
    int height;

    Canvas(int w, int h)
        : bytes(FrameConverter::BitmapBytes(w, h) + 2 * kGuard, kFill), width(w), height(h) {}
    std::uint8_t* Bitmap() { return bytes.data() + kGuard; }
    Bgr Pixel(int x, int sourceRow) const {
        const std::size_t at = kGuard +
                               static_cast<std::size_t>(FrameConverter::Stride(width)) *
                                   static_cast<std::size_t>(height - 1 - sourceRow) +
                               3 * static_cast<std::size_t>(x);
        return {bytes[at], bytes[at + 1], bytes[at + 2]};
    }
    // Guards and row padding: bytes the conversion must leave alone.
    bool UntouchedOutsidePixels() const {
        const std::size_t stride = static_cast<std::size_t>(FrameConverter::Stride(width));
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const bool inBitmap = i >= kGuard && i < bytes.size() - kGuard;
            const bool pixel =
                inBitmap && (i - kGuard) % stride < 3 * static_cast<std::size_t>(width);
            if (!pixel && bytes[i] != kFill) return false;
        }
        return true;
    }
};

FrameConverter ConverterOn(Path path, bool studioRange, bool leftJustified, int significantBits) {
    FrameConverter converter;
    EXPECT_TRUE(converter.SetConversionPath(path));
    converter.SetColorTables(studioRange, leftJustified, significantBits);
    return converter;
}

Canvas Convert(const FrameConverter& converter, int coding, const Bytes& src, int width,
               int height) {
    Canvas canvas(width, height);
    EXPECT_TRUE(converter.ConvertToBitmap(coding, canvas.Bitmap(), src.data(), width, height));
    return canvas;
}

// --- An independent model written from the conversion formulas, without tables. ---

int FloorClamp(int sum) { return std::clamp(sum >= 0 ? sum / 256 : -((255 - sum) / 256), 0, 255); }

Bgr ModelYuv(bool studio, int y, int u, int v) {
    const int luma = studio ? 298 * (y - 16) : 256 * y;
    u -= 128;
    v -= 128;
    if (studio)
        return {FloorClamp(luma + 517 * u), FloorClamp(luma - 100 * u - 208 * v),
                FloorClamp(luma + 409 * v)};
    return {FloorClamp(luma + 454 * u), FloorClamp(luma - 88 * u - 183 * v),
            FloorClamp(luma + 359 * v)};
}

Bgr ModelPixel(int coding, const std::uint8_t* row, int x, bool studio, int shift) {
    auto grey = [](int g) { return Bgr{g, g, g}; };
    auto high = [shift](int h) { return ((h * 257) >> shift) & 0xFF; };
    switch (coding) {
        case 0:
            return grey(ModelYuv(studio, row[x], 128, 128).blue);
        case 1: {
            const std::uint8_t* g = row + 6 * (x / 4);
            const int luma[] = {g[1], g[2], g[4], g[5]};
            return ModelYuv(studio, luma[x % 4], g[0], g[3]);
        }
        case 2: {
            const std::uint8_t* g = row + 4 * (x / 2);
            return ModelYuv(studio, x % 2 == 0 ? g[1] : g[3], g[0], g[2]);
        }
        case 3:
            return ModelYuv(studio, row[3 * x + 1], row[3 * x], row[3 * x + 2]);
        case 4:
            return {row[3 * x + 2], row[3 * x + 1], row[3 * x]};
        case 5:
            return grey(
                ModelYuv(studio, ((row[2 * x] << 8 | row[2 * x + 1]) >> shift) & 0xFF, 128, 128)
                    .blue);
        default:
            return {high(row[6 * x + 4]), high(row[6 * x + 2]), high(row[6 * x])};
    }
}

// --- Known pixels and layout, on every path. ---

class ConversionOnPath : public testing::TestWithParam<Path> {
protected:
    void SetUp() override {
        if (!FrameConverter::IsPathSupported(GetParam()))
            GTEST_SKIP() << "this processor lacks the path";
    }
    FrameConverter Converter(bool studioRange, bool leftJustified = false,
                             int significantBits = 10) const {
        return ConverterOn(GetParam(), studioRange, leftJustified, significantBits);
    }
};

// Wide enough (40 pixels) that SIMD blocks and the plain tail both take part.
constexpr int kWide = 40;

Bytes Repeat(const Bytes& group, int width, int pixelsPerGroup) {
    Bytes frame;
    for (int x = 0; x < width; x += pixelsPerGroup)
        frame.insert(frame.end(), group.begin(), group.end());
    return frame;
}

void ExpectEveryPixel(const Canvas& canvas, const std::vector<Bgr>& pattern) {
    for (int x = 0; x < canvas.width; ++x)
        ASSERT_EQ(canvas.Pixel(x, 0), pattern[x % pattern.size()]) << "pixel " << x;
}

TEST_P(ConversionOnPath, FullRangeYuvGivesKnownPixels) {
    const FrameConverter c = Converter(false);
    // Neutral chroma passes luma through; full saturation clips blue and red.
    ExpectEveryPixel(Convert(c, 2, Repeat({128, 200, 128, 10}, kWide, 2), kWide, 1),
                     {{200, 200, 200}, {10, 10, 10}});
    ExpectEveryPixel(Convert(c, 2, Repeat({255, 255, 255, 255}, kWide, 2), kWide, 1),
                     {{255, 120, 255}});
    ExpectEveryPixel(Convert(c, 1, Repeat({128, 1, 2, 128, 3, 4}, kWide, 4), kWide, 1),
                     {{1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {4, 4, 4}});
    ExpectEveryPixel(Convert(c, 3, Repeat({255, 255, 255}, kWide, 1), kWide, 1), {{255, 120, 255}});
    ExpectEveryPixel(Convert(c, 0, Bytes(kWide, 77), kWide, 1), {{77, 77, 77}});
}

TEST_P(ConversionOnPath, StudioRangeMapsLumaLimitsToBlackAndWhite) {
    const FrameConverter c = Converter(true);
    ExpectEveryPixel(Convert(c, 2, Repeat({128, 16, 128, 15}, kWide, 2), kWide, 1),
                     {{0, 0, 0}, {0, 0, 0}});
    ExpectEveryPixel(Convert(c, 2, Repeat({128, 235, 128, 236}, kWide, 2), kWide, 1),
                     {{254, 254, 254}, {255, 255, 255}});
    ExpectEveryPixel(Convert(c, 0, Repeat({16, 235, 236}, 42, 3), 42, 1),
                     {{0, 0, 0}, {254, 254, 254}, {255, 255, 255}});
}

TEST_P(ConversionOnPath, SixteenBitSamplesUseTheViewerShift) {
    const FrameConverter c = Converter(false, false, 10);
    ExpectEveryPixel(Convert(c, 5, Repeat({0x03, 0xFF, 0x02, 0x00}, kWide, 2), kWide, 1),
                     {{255, 255, 255}, {128, 128, 128}});
    ExpectEveryPixel(
        Convert(c, 6, Repeat({0x03, 0xFF, 0x01, 0xFF, 0x00, 0xFF}, kWide, 1), kWide, 1),
        {{0, 64, 192}});
}

TEST_P(ConversionOnPath, FirstSourceRowLandsInLastBitmapRow) {
    const int width = 33;
    const int height = 4;
    Bytes frame;
    for (int row = 0; row < height; ++row)
        frame.insert(frame.end(), width, static_cast<std::uint8_t>(10 * row));
    const Canvas canvas = Convert(Converter(false), 0, frame, width, height);
    for (int row = 0; row < height; ++row) EXPECT_EQ(canvas.Pixel(width - 1, row).green, 10 * row);
    EXPECT_TRUE(canvas.UntouchedOutsidePixels());
}

TEST_P(ConversionOnPath, RowPaddingKeepsItsBytes) {
    const int width = 641;  // stride 1924: one padding byte a row
    ASSERT_EQ(FrameConverter::Stride(width), 1924);
    std::mt19937 rng(641);
    for (int coding = 0; coding < kAllCodings; ++coding) {
        const Canvas canvas =
            Convert(Converter(false), coding,
                    RandomBytes(FrameConverter::FrameBytes(coding, width, 3), rng), width, 3);
        EXPECT_TRUE(canvas.UntouchedOutsidePixels()) << "coding " << coding;
    }
}

std::string ParamName(const testing::TestParamInfo<Path>& param) {
    return FrameConverter::PathName(param.param);
}

INSTANTIATE_TEST_SUITE_P(Paths, ConversionOnPath,
                         testing::Values(Path::Plain, Path::Ssse3, Path::Avx2), ParamName);

// --- The plain code against the model. ---

struct Setting {
    bool studio;
    bool leftJustified;
    int significantBits;
    int shift;  // what the model expects
};

const std::vector<Setting> kSettings{
    {false, true, 16, 8}, {true, true, 16, 8},  {false, false, 10, 2}, {true, false, 12, 4},
    {false, false, 8, 0}, {false, false, 4, 0}, {false, false, 16, 8}, {true, false, 40, 16}};

TEST(FrameConverterPlain, MatchesTheFormulasForEveryCodingAndSetting) {
    std::mt19937 rng(2024);
    for (const Setting& s : kSettings) {
        const FrameConverter c =
            ConverterOn(Path::Plain, s.studio, s.leftJustified, s.significantBits);
        for (int coding = 0; coding < kAllCodings; ++coding) {
            for (int width : {1, 2, 3, 5, 6, 7, 9}) {
                const int height = 3;
                const Bytes frame =
                    RandomBytes(FrameConverter::FrameBytes(coding, width, height), rng);
                const Canvas canvas = Convert(c, coding, frame, width, height);
                const std::size_t rowBytes = frame.size() / height;
                for (int row = 0; row < height; ++row)
                    for (int x = 0; x < width; ++x)
                        ASSERT_EQ(
                            canvas.Pixel(x, row),
                            ModelPixel(coding, frame.data() + row * rowBytes, x, s.studio, s.shift))
                            << "coding " << coding << " width " << width << " bits "
                            << s.significantBits << " x " << x;
                EXPECT_TRUE(canvas.UntouchedOutsidePixels());
            }
        }
    }
}

// --- Every SIMD path against the plain code, byte for byte. ---

TEST(FrameConverterSimd, MatchesPlainOnRandomFrames) {
    const std::vector<Path> paths = SupportedSimdPaths();
    if (paths.empty()) GTEST_SKIP() << "no SIMD path on this processor";
    std::mt19937 rng(7);
    const int widths[] = {1, 2, 3, 5, 15, 16, 17, 31, 32, 33, 47, 48, 63, 64, 65, 97, 641, 1360};
    for (const Setting& s : kSettings) {
        const FrameConverter plain =
            ConverterOn(Path::Plain, s.studio, s.leftJustified, s.significantBits);
        for (int coding = 0; coding < kAllCodings; ++coding) {
            for (int width : widths) {
                const int height = 1 + width % 4;
                // Exactly sized, so that a read past the frame shows under the address sanitizer.
                const Bytes frame =
                    RandomBytes(FrameConverter::FrameBytes(coding, width, height), rng);
                const Canvas expected = Convert(plain, coding, frame, width, height);
                ASSERT_TRUE(expected.UntouchedOutsidePixels());
                for (Path path : paths) {
                    const FrameConverter simd =
                        ConverterOn(path, s.studio, s.leftJustified, s.significantBits);
                    ASSERT_EQ(Convert(simd, coding, frame, width, height).bytes, expected.bytes)
                        << FrameConverter::PathName(path) << " coding " << coding << " width "
                        << width << " studio " << s.studio << " bits " << s.significantBits;
                }
            }
        }
    }
}

// Every (U, Y, V) triple through 4:4:4, one 256 x 256 frame per U: both table sets, all paths.
TEST(FrameConverterSimd, MatchesPlainOnEveryYuvTriple) {
    const std::vector<Path> paths = SupportedSimdPaths();
    if (paths.empty()) GTEST_SKIP() << "no SIMD path on this processor";
    Bytes frame(3 * 256 * 256);
    for (bool studio : {false, true}) {
        const FrameConverter plain = ConverterOn(Path::Plain, studio, true, 16);
        for (int u = 0; u < 256; ++u) {
            for (int v = 0; v < 256; ++v) {
                for (int y = 0; y < 256; ++y) {
                    std::uint8_t* p = &frame[3 * (256 * v + y)];
                    p[0] = static_cast<std::uint8_t>(u);
                    p[1] = static_cast<std::uint8_t>(y);
                    p[2] = static_cast<std::uint8_t>(v);
                }
            }
            const Canvas expected = Convert(plain, 3, frame, 256, 256);
            for (Path path : paths) {
                const FrameConverter simd = ConverterOn(path, studio, true, 16);
                ASSERT_EQ(Convert(simd, 3, frame, 256, 256).bytes, expected.bytes)
                    << FrameConverter::PathName(path) << " studio " << studio << " u " << u;
            }
        }
    }
}

// --- Settings, sizes and refusals. ---

TEST(FrameConverter, StartsFullRangeLeftJustifiedOnTheBestPath) {
    const FrameConverter c;
    EXPECT_FALSE(c.IsStudioRange());
    EXPECT_TRUE(c.IsLeftJustified());
    EXPECT_EQ(c.GetSignificantBits(), 16);
    EXPECT_NE(c.GetConversionPath(), Path::Auto);
    EXPECT_TRUE(FrameConverter::IsPathSupported(c.GetConversionPath()));
    if (FrameConverter::IsPathSupported(Path::Avx2)) {
        EXPECT_EQ(c.GetConversionPath(), Path::Avx2);
    }
}

TEST(FrameConverter, RefusesAPathTheProcessorLacksAndKeepsItsOwn) {
    FrameConverter c;
    ASSERT_TRUE(c.SetConversionPath(Path::Plain));
    for (Path path : {Path::Ssse3, Path::Avx2}) {
        if (FrameConverter::IsPathSupported(path)) continue;
        EXPECT_FALSE(c.SetConversionPath(path));
        EXPECT_EQ(c.GetConversionPath(), Path::Plain);
    }
    EXPECT_TRUE(FrameConverter::IsPathSupported(Path::Plain));
}

TEST(FrameConverter, SizesOfRowsAndFrames) {
    EXPECT_EQ(FrameConverter::Stride(1), 4);
    EXPECT_EQ(FrameConverter::Stride(3), 12);
    EXPECT_EQ(FrameConverter::Stride(5), 16);
    EXPECT_EQ(FrameConverter::Stride(1360), 4080);
    EXPECT_EQ(FrameConverter::Stride(-1), 0);
    EXPECT_EQ(FrameConverter::BitmapBytes(641, 2), 3848u);
    // 4:1:1 and 4:2:2 rows carry whole sample groups.
    EXPECT_EQ(FrameConverter::FrameBytes(1, 5, 2), 24u);
    EXPECT_EQ(FrameConverter::FrameBytes(2, 3, 2), 16u);
    EXPECT_EQ(FrameConverter::FrameBytes(2, 640, 480), 614400u);
    EXPECT_EQ(FrameConverter::FrameBytes(6, 2, 2), 24u);
    EXPECT_EQ(FrameConverter::FrameBytes(7, 2, 2), 0u);
    EXPECT_EQ(FrameConverter::FrameBytes(0, 0, 2), 0u);
    EXPECT_EQ(FrameConverter::FrameBytes(0, FrameConverter::kMaxSize + 1, 1), 0u);
}

TEST(FrameConverter, BadRequestsWriteNothing) {
    const FrameConverter c;
    const Bytes frame(6 * 64 * 4, 200);
    Canvas canvas(64, 4);
    const Bytes before = canvas.bytes;
    EXPECT_FALSE(c.ConvertToBitmap(7, canvas.Bitmap(), frame.data(), 64, 4));
    EXPECT_FALSE(c.ConvertToBitmap(-1, canvas.Bitmap(), frame.data(), 64, 4));
    EXPECT_FALSE(c.ConvertToBitmap(2, canvas.Bitmap(), frame.data(), 0, 4));
    EXPECT_FALSE(c.ConvertToBitmap(2, canvas.Bitmap(), frame.data(), 64, -1));
    EXPECT_FALSE(c.ConvertToBitmap(2, canvas.Bitmap(), nullptr, 64, 4));
    EXPECT_FALSE(c.ConvertToBitmap(2, nullptr, frame.data(), 64, 4));
    // The span form also checks both lengths.
    const std::span<std::uint8_t> bitmap(canvas.Bitmap(), FrameConverter::BitmapBytes(64, 4));
    EXPECT_FALSE(c.ConvertToBitmap(2, bitmap.first(bitmap.size() - 1), frame, 64, 4));
    EXPECT_FALSE(c.ConvertToBitmap(2, bitmap, std::span(frame).first(2 * 64 * 4 - 1), 64, 4));
    EXPECT_EQ(canvas.bytes, before);
    EXPECT_TRUE(c.ConvertToBitmap(2, bitmap, std::span(frame).first(2 * 64 * 4), 64, 4));
    EXPECT_TRUE(canvas.UntouchedOutsidePixels());
}

// --- RAW8: a mosaic under each colour filter. ---

constexpr std::array<std::pair<BayerPattern, const char*>, 4> kPatterns{{
    {BayerPattern::Rggb, "RGGB"},
    {BayerPattern::Gbrg, "GBRG"},
    {BayerPattern::Grbg, "GRBG"},
    {BayerPattern::Bggr, "BGGR"},
}};

// What a sensor under the filter (its 2 x 2 quad, top row first) sends for a uniform colour.
Bytes Mosaic(const char* quad, int width, int height, Bgr colour) {
    Bytes frame;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const char seen = quad[2 * (y % 2) + x % 2];
            frame.push_back(std::uint8_t(seen == 'R'   ? colour.red
                                         : seen == 'G' ? colour.green
                                                       : colour.blue));
        }
    }
    return frame;
}

TEST(FrameConverterRaw8, AUniformFieldDemosaicsToItsColourUnderEveryPattern) {
    const FrameConverter c;
    const Bgr colours[] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {50, 100, 200}};
    for (const auto& [pattern, quad] : kPatterns) {
        for (const Bgr colour : colours) {
            for (const auto& [width, height] : {std::pair{4, 4}, {5, 3}, {2, 2}}) {
                SCOPED_TRACE(std::string(quad) + " " + std::to_string(width) + "x" +
                             std::to_string(height) + " red " + std::to_string(colour.red));
                Canvas canvas(width, height);
                const Bytes frame = Mosaic(quad, width, height, colour);
                ASSERT_TRUE(c.ConvertToBitmap(FrameConverter::Raw8, canvas.Bitmap(), frame.data(),
                                              width, height, pattern));
                for (int y = 0; y < height; ++y)
                    for (int x = 0; x < width; ++x)
                        ASSERT_EQ(canvas.Pixel(x, y), colour) << x << "," << y;
                EXPECT_TRUE(canvas.UntouchedOutsidePixels());
            }
        }
    }
}

TEST(FrameConverterRaw8, AQuadTakesItsRedItsBlueAndItsGreensMean) {
    const FrameConverter c;
    const Bytes quad{10, 20, 31, 40};  // top row 10 20, second row 31 40
    const Bgr expected[] = {{40, 26, 10}, {20, 25, 31}, {31, 25, 20}, {10, 26, 40}};
    for (std::size_t i = 0; i < kPatterns.size(); ++i) {
        const Canvas canvas = [&] {
            Canvas out(2, 2);
            EXPECT_TRUE(c.ConvertToBitmap(FrameConverter::Raw8, out.Bitmap(), quad.data(), 2, 2,
                                          kPatterns[i].first));
            return out;
        }();
        EXPECT_EQ(canvas.Pixel(1, 1), expected[i]) << kPatterns[i].second;
    }
}

TEST(FrameConverterRaw8, EvenBandsGiveTheWholeFrameAndNoPatternShowsGrey) {
    std::mt19937 rng(9);
    const int width = 7, height = 6;
    const Bytes frame = RandomBytes(std::size_t(width * height), rng);
    const FrameConverter c;
    Canvas whole(width, height);
    ASSERT_TRUE(c.ConvertToBitmap(FrameConverter::Raw8, whole.Bitmap(), frame.data(), width, height,
                                  BayerPattern::Grbg));
    // The viewer converts in bands of even rows, each band a frame of its own.
    for (const auto& [top, rows] : {std::pair{0, 4}, {4, 2}}) {
        Canvas band(width, rows);
        ASSERT_TRUE(c.ConvertToBitmap(FrameConverter::Raw8, band.Bitmap(),
                                      frame.data() + top * width, width, rows, BayerPattern::Grbg));
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < width; ++x) EXPECT_EQ(band.Pixel(x, y), whole.Pixel(x, top + y));
    }
    EXPECT_EQ(FrameConverter::FrameBytes(FrameConverter::Raw8, width, height), frame.size());
    EXPECT_EQ(Convert(c, FrameConverter::Raw8, frame, width, height).bytes,
              Convert(c, FrameConverter::Mono8, frame, width, height).bytes);
}

}  // namespace
