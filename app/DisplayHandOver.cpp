// The display pictures and their hand-over between threads.
#include "app/DisplayHandOver.h"

#include <algorithm>
#include <cstring>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KESTRIX_X86_SIMD 1
#endif

namespace {

void LayRowPlain(const std::uint8_t* src, std::uint32_t* dst, int width) {
    int x = 0;
    // Four pixels from three little-endian words: the per-byte loop costs twice as much.
    for (; x + 4 <= width; x += 4, src += 12) {
        std::uint32_t w0, w1, w2;
        std::memcpy(&w0, src, 4);
        std::memcpy(&w1, src + 4, 4);
        std::memcpy(&w2, src + 8, 4);
        dst[x] = 0xFF000000u | w0;
        dst[x + 1] = 0xFF000000u | (w0 >> 24) | (w1 << 8);
        dst[x + 2] = 0xFF000000u | (w1 >> 16) | (w2 << 16);
        dst[x + 3] = 0xFF000000u | (w2 >> 8);
    }
    for (; x < width; ++x, src += 3)
        dst[x] = 0xFF000000u | std::uint32_t(src[2]) << 16 | std::uint32_t(src[1]) << 8 | src[0];
}

#ifdef KESTRIX_X86_SIMD
// Four pixels a shuffle; the scalar loop was the display thread's largest cost.
__attribute__((target("ssse3"))) void LayRowSsse3(const std::uint8_t* src, std::uint32_t* dst,
                                                  int width) {
    const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m128i opaque = _mm_set1_epi32(int(0xFF000000u));
    int x = 0;
    // Each load takes 16 bytes for the 12 it uses: it stops while two pixels (6 bytes) follow.
    for (; x + 6 <= width; x += 4, src += 12) {
        const __m128i bgr = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x),
                         _mm_or_si128(_mm_shuffle_epi8(bgr, spread), opaque));
    }
    LayRowPlain(src, dst + x, width - x);
}
#endif

}  // namespace

DisplayHandOver::RowLayer DisplayHandOver::ChooseRowLayer() {
#ifdef KESTRIX_X86_SIMD
    __builtin_cpu_init();
    if (__builtin_cpu_supports("ssse3")) return &LayRowSsse3;
#endif
    return &LayRowPlain;
}

void DisplayHandOver::Allocate(int width, int height) {
    for (QImage* picture : {&m_back, &m_pending, &m_front}) {
        *picture = QImage(width, height, QImage::Format_RGB32);
        picture->fill(Qt::black);
    }
    m_bPending = false;
    m_nPendingSlot = -1;
}

void DisplayHandOver::Free() {
    m_back = m_pending = m_front = QImage();
    m_bPending = false;
}

bool DisplayHandOver::Publish(int slot) {
    std::scoped_lock lock(m_lock);
    std::swap(m_back, m_pending);
    m_nPendingSlot = slot;
    return !std::exchange(m_bPending, true);
}

bool DisplayHandOver::TakePending(int& slot) {
    std::scoped_lock lock(m_lock);
    if (!m_bPending) return false;
    std::swap(m_pending, m_front);
    slot = m_nPendingSlot;
    m_bPending = false;
    return true;
}

void DisplayHandOver::DropPending() {
    std::scoped_lock lock(m_lock);
    m_bPending = false;
}

bool DisplayHandOver::ConvertFrame(const FrameConverter& converter, int colorCoding,
                                   const std::uint8_t* raw, QImage& picture,
                                   std::vector<std::uint8_t>& band, BayerPattern bayer) {
    constexpr int kBandRows = 16;  // even, so that a band keeps the colour filter's phase
    const int width = picture.width();
    const int height = picture.height();
    const std::size_t rowBytes = FrameConverter::FrameBytes(colorCoding, width, 1);
    if (rowBytes == 0 || height < 1 || raw == nullptr) return false;
    band.resize(FrameConverter::BitmapBytes(width, std::min(kBandRows + 1, height)));
    for (int top = 0, rows = 0; top < height; top += rows) {
        rows = std::min(kBandRows, height - top);
        // A lone last row takes its colours from the row above it, so it joins the band before.
        if (height - top - rows == 1) ++rows;
        converter.ConvertToBitmap(colorCoding, band.data(), raw + rowBytes * std::size_t(top),
                                  width, rows, bayer);
        // The band's rows of the picture, written in place.
        QImage part(picture.scanLine(top), width, rows, picture.bytesPerLine(), picture.format());
        LayRows(band.data(), std::size_t(FrameConverter::Stride(width)), part);
    }
    return true;
}

void DisplayHandOver::LayBitmap(const std::uint8_t* bitmap, QImage& picture) {
    LayRows(bitmap, std::size_t(picture.width()) * 3, picture);
}

void DisplayHandOver::LayRows(const std::uint8_t* bitmap, std::size_t stride, QImage& picture) {
    static const RowLayer layRow = ChooseRowLayer();
    const int width = picture.width();
    const int height = picture.height();
    for (int y = 0; y < height; ++y) {
        layRow(bitmap + std::size_t(height - 1 - y) * stride,
               reinterpret_cast<std::uint32_t*>(picture.scanLine(y)), width);
    }
}
