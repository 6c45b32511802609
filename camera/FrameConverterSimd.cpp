// SIMD frame conversion: the exact 16-bit split of the colour sums and the SSSE3 and AVX2 kernels.
#include "camera/FrameConverterSimd.h"

#include <algorithm>
#include <array>
#include <limits>

#if defined(__x86_64__) || defined(__i386__)
#define KESTRIX_X86_SIMD 1
#include <immintrin.h>
#endif

namespace frame_simd {
namespace {

using Path = FrameConverter::ConversionPath;

// Bounds of a value over every byte input.
struct Range {
    int low;
    int high;
};

Range operator+(Range a, Range b) { return {a.low + b.low, a.high + b.high}; }
Range ShiftRight8(Range a) { return {a.low >> 8, a.high >> 8}; }
bool Fits16(Range a) {
    return a.low >= std::numeric_limits<std::int16_t>::min() &&
           a.high <= std::numeric_limits<std::int16_t>::max();
}

// A byte-pair multiply-add over bytes 0..255, which saturates unless it fits 16 bits.
Range PairRange(PairWeights w) {
    return {255 * (std::min<int>(w.luma, 0) + std::min<int>(w.chroma, 0)),
            255 * (std::max<int>(w.luma, 0) + std::max<int>(w.chroma, 0))};
}

int FloorDiv256(int k) { return k >= 0 ? k / 256 : -((255 - k) / 256); }

// k = 256 q + r with r in -128..127, so r fits a signed byte weight.
struct Parts {
    int q;
    int r;
};
Parts SplitWeight(int k) {
    const int q = FloorDiv256(k + 128);
    return {q, k - 256 * q};
}

bool FitsByte(int v) { return v >= -128 && v <= 127; }

// s = kY (Y - yOffset) + kU (U - 128) + kV (V - 128); the luma weights of q and of r each ride on
// the (Y, U) pairs or on the (Y, V) pairs.
bool SplitChannelExactly(int kY, int yOffset, int kU, int kV, bool qLumaWithU, bool rLumaWithU,
                         SplitChannel& out) {
    const Parts y = SplitWeight(kY);
    const Parts u = SplitWeight(kU);
    const Parts v = SplitWeight(kV);
    if (!FitsByte(y.q) || !FitsByte(u.q) || !FitsByte(v.q)) return false;
    auto pair = [](bool withLuma, int luma, int chroma) {
        return PairWeights{static_cast<std::int8_t>(withLuma ? luma : 0),
                           static_cast<std::int8_t>(chroma)};
    };
    out.qYU = pair(qLumaWithU, y.q, u.q);
    out.rYU = pair(rLumaWithU, y.r, u.r);
    out.qYV = pair(!qLumaWithU, y.q, v.q);
    out.rYV = pair(!rLumaWithU, y.r, v.r);

    const int offset = kY * yOffset + 128 * (kU + kV);
    const int kh = FloorDiv256(offset);
    const int kl = offset - 256 * kh;
    out.kh = static_cast<std::int16_t>(kh);
    out.kl = static_cast<std::int16_t>(kl);

    // Every partial result the kernels form, in their order of evaluation.
    const Range q = PairRange(out.qYU) + PairRange(out.qYV);
    const Range r = PairRange(out.rYU) + PairRange(out.rYV);
    const Range qLessKh = q + Range{-kh, -kh};
    const Range rLessKl = r + Range{-kl, -kl};
    const std::array<Range, 9> steps{PairRange(out.qYU),
                                     PairRange(out.qYV),
                                     PairRange(out.rYU),
                                     PairRange(out.rYV),
                                     q,
                                     r,
                                     qLessKh,
                                     rLessKl,
                                     qLessKh + ShiftRight8(rLessKl)};
    return Fits16({kh, kh}) && std::all_of(steps.begin(), steps.end(), Fits16);
}

}  // namespace

bool SplitExactly(const ColorCoefficients& c, SplitCoefficients& split) {
    // Green's q takes no U, which saves the kernels a multiply-add; both table sets allow it.
    return SplitChannelExactly(c.y, c.yOffset, c.bu, 0, true, true, split.blue) &&
           SplitChannelExactly(c.y, c.yOffset, c.gu, c.gv, false, true, split.green) &&
           SplitChannelExactly(c.y, c.yOffset, 0, c.rv, false, false, split.red) &&
           split.green.qYU.chroma == 0;
}

#ifdef KESTRIX_X86_SIMD
namespace {

using Mask = std::array<std::uint8_t, 16>;
constexpr std::uint8_t kZero = 0x80;  // a shuffle index that yields 0

// Byte offsets of one pixel's samples within its lane's source bytes.
struct PixelBytes {
    int y;
    int u;
    int v;
};

constexpr PixelBytes Pixel411(int i, int offset) {
    constexpr std::array<int, 4> luma{1, 2, 4, 5};
    const int group = offset + 6 * (i / 4);
    return {group + luma[i % 4], group, group + 3};
}
constexpr PixelBytes Pixel422(int i) {
    return {4 * (i / 2) + 1 + 2 * (i % 2), 4 * (i / 2), 4 * (i / 2) + 2};
}
constexpr PixelBytes Pixel444(int i) { return {3 * i + 1, 3 * i, 3 * i + 2}; }

// (Y, chroma) byte pairs for 8 pixels, taking the source bytes from `from` on out of a 16-byte
// load that starts at byte `load`.
template <class Layout>
constexpr Mask PairMask(Layout layout, bool withV, int from, int load) {
    Mask mask{};
    auto pick = [from, load](int byte) {
        return byte >= from && byte < load + 16 ? static_cast<std::uint8_t>(byte - load) : kZero;
    };
    for (int i = 0; i < 8; ++i) {
        const PixelBytes p = layout(i);
        mask[2 * i] = pick(p.y);
        mask[2 * i + 1] = pick(withV ? p.v : p.u);
    }
    return mask;
}

// The sources of a lane's 48 output bytes: blue and green of pixels 0..7, of pixels 8..15, and
// red of all 16, each as packed bytes.
enum Source { kBlueGreenLow, kBlueGreenHigh, kRed, kGrey };

// Picks part 0, 1 or 2 of the 48 interleaved blue, green, red bytes out of one source.
constexpr Mask InterleaveMask(int part, Source source) {
    Mask mask{};
    for (int j = 0; j < 16; ++j) {
        const int byte = 16 * part + j;
        const int pixel = byte / 3;
        const int colour = byte % 3;
        int from = -1;
        if (source == kGrey) from = pixel;
        if (source == kRed && colour == 2) from = pixel;
        if (source == kBlueGreenLow && colour < 2 && pixel < 8) from = pixel + 8 * colour;
        if (source == kBlueGreenHigh && colour < 2 && pixel >= 8) from = pixel - 8 + 8 * colour;
        mask[j] = from < 0 ? kZero : static_cast<std::uint8_t>(from);
    }
    return mask;
}

using PartMasks = std::array<Mask, 3>;
constexpr std::array<PartMasks, 3> kInterleave{{
    {InterleaveMask(0, kBlueGreenLow), InterleaveMask(0, kBlueGreenHigh), InterleaveMask(0, kRed)},
    {InterleaveMask(1, kBlueGreenLow), InterleaveMask(1, kBlueGreenHigh), InterleaveMask(1, kRed)},
    {InterleaveMask(2, kBlueGreenLow), InterleaveMask(2, kBlueGreenHigh), InterleaveMask(2, kRed)},
}};
constexpr PartMasks kInterleaveGrey{InterleaveMask(0, kGrey), InterleaveMask(1, kGrey),
                                    InterleaveMask(2, kGrey)};

// Part 0, 1 or 2 of a lane's 48 output bytes for RGB 8: each pixel's three bytes reversed, taken
// from the 16-byte load `load` (0, 1, 2) of the lane's 48 source bytes.
constexpr Mask ReverseMask(int part, int load) {
    Mask mask{};
    for (int j = 0; j < 16; ++j) {
        const int byte = 16 * part + j;
        const int from = 3 * (byte / 3) + 2 - byte % 3 - 16 * load;
        mask[j] = from >= 0 && from < 16 ? static_cast<std::uint8_t>(from) : kZero;
    }
    return mask;
}

constexpr std::array<PartMasks, 3> kReverse{{
    {ReverseMask(0, 0), ReverseMask(0, 1), ReverseMask(0, 2)},
    {ReverseMask(1, 0), ReverseMask(1, 1), ReverseMask(1, 2)},
    {ReverseMask(2, 0), ReverseMask(2, 1), ReverseMask(2, 2)},
}};

constexpr auto Pixel411At0 = [](int i) { return Pixel411(i, 0); };
constexpr auto Pixel411At4 = [](int i) { return Pixel411(i, 4); };
constexpr auto Pixel422At = [](int i) { return Pixel422(i); };
constexpr auto Pixel444At = [](int i) { return Pixel444(i); };

// The second half of a 4:1:1 lane is loaded 4 bytes early so that no load passes the block's end;
// a 4:4:4 lane (24 bytes) is read through two loads 8 bytes apart.
constexpr std::array<Mask, 2> kMask411YU{PairMask(Pixel411At0, false, 0, 0),
                                         PairMask(Pixel411At4, false, 0, 0)};
constexpr std::array<Mask, 2> kMask411YV{PairMask(Pixel411At0, true, 0, 0),
                                         PairMask(Pixel411At4, true, 0, 0)};
constexpr Mask kMask422YU = PairMask(Pixel422At, false, 0, 0);
constexpr Mask kMask422YV = PairMask(Pixel422At, true, 0, 0);
constexpr std::array<Mask, 2> kMask444YU{PairMask(Pixel444At, false, 0, 0),
                                         PairMask(Pixel444At, false, 16, 8)};
constexpr std::array<Mask, 2> kMask444YV{PairMask(Pixel444At, true, 0, 0),
                                         PairMask(Pixel444At, true, 16, 8)};

}  // namespace

#pragma GCC push_options
#pragma GCC target("ssse3")
namespace ssse3 {
namespace {

struct Isa {
    using Vec = __m128i;
    static constexpr int kLanes = 1;
    static Vec Load(const std::uint8_t* p, int) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    }
    static void Store(std::uint8_t* p, int, Vec v) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
    }
    static Vec FromMask(const Mask& m) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(m.data()));
    }
    static Vec Splat16(std::int16_t v) { return _mm_set1_epi16(v); }
    static Vec Splat8(std::uint8_t v) { return _mm_set1_epi8(static_cast<char>(v)); }
    static Vec Shuffle(Vec a, Vec mask) { return _mm_shuffle_epi8(a, mask); }
    static Vec MulAdd(Vec bytes, Vec weights) { return _mm_maddubs_epi16(bytes, weights); }
    static Vec Add(Vec a, Vec b) { return _mm_add_epi16(a, b); }
    static Vec ShiftRight8(Vec a) { return _mm_srai_epi16(a, 8); }
    static Vec Or(Vec a, Vec b) { return _mm_or_si128(a, b); }
    static Vec PackU8(Vec a, Vec b) { return _mm_packus_epi16(a, b); }
    static Vec UnpackLow8(Vec a, Vec b) { return _mm_unpacklo_epi8(a, b); }
    static Vec UnpackHigh8(Vec a, Vec b) { return _mm_unpackhi_epi8(a, b); }
};

#include "camera/FrameConverterKernels.inc"

}  // namespace
}  // namespace ssse3
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
namespace {

// Two 128-bit lanes side by side, each doing the SSSE3 lane's work on the next 16 pixels.
struct Isa {
    using Vec = __m256i;
    static constexpr int kLanes = 2;
    static Vec Load(const std::uint8_t* p, int laneBytes) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        return _mm256_inserti128_si256(
            _mm256_castsi128_si256(low),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + laneBytes)), 1);
    }
    static void Store(std::uint8_t* p, int laneBytes, Vec v) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(v));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + laneBytes), _mm256_extracti128_si256(v, 1));
    }
    static Vec FromMask(const Mask& m) {
        return _mm256_broadcastsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(m.data())));
    }
    static Vec Splat16(std::int16_t v) { return _mm256_set1_epi16(v); }
    static Vec Splat8(std::uint8_t v) { return _mm256_set1_epi8(static_cast<char>(v)); }
    static Vec Shuffle(Vec a, Vec mask) { return _mm256_shuffle_epi8(a, mask); }
    static Vec MulAdd(Vec bytes, Vec weights) { return _mm256_maddubs_epi16(bytes, weights); }
    static Vec Add(Vec a, Vec b) { return _mm256_add_epi16(a, b); }
    static Vec ShiftRight8(Vec a) { return _mm256_srai_epi16(a, 8); }
    static Vec Or(Vec a, Vec b) { return _mm256_or_si256(a, b); }
    static Vec PackU8(Vec a, Vec b) { return _mm256_packus_epi16(a, b); }
    static Vec UnpackLow8(Vec a, Vec b) { return _mm256_unpacklo_epi8(a, b); }
    static Vec UnpackHigh8(Vec a, Vec b) { return _mm256_unpackhi_epi8(a, b); }
};

#include "camera/FrameConverterKernels.inc"

}  // namespace
}  // namespace avx2
#pragma GCC pop_options

FrameKernel KernelFor(Path path, int colorCoding) {
    switch (path) {
        case Path::Ssse3:
            return ssse3::KernelFor(colorCoding);
        case Path::Avx2:
            return avx2::KernelFor(colorCoding);
        default:
            return nullptr;
    }
}

bool CpuSupports(Path path) {
    __builtin_cpu_init();
    switch (path) {
        case Path::Ssse3:
            return __builtin_cpu_supports("ssse3");
        case Path::Avx2:
            return __builtin_cpu_supports("avx2");
        default:
            return true;
    }
}

#else

FrameKernel KernelFor(Path, int) { return nullptr; }

bool CpuSupports(Path path) { return path == Path::Plain || path == Path::Auto; }

#endif

}  // namespace frame_simd
