// The display pictures and their hand-over between threads.
#include "app/DisplayHandOver.h"

#include <cstring>
#include <utility>

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

void DisplayHandOver::LayBitmap(const std::uint8_t* bitmap, QImage& picture) {
    const int width = picture.width();
    const int height = picture.height();
    const std::size_t stride = std::size_t(width) * 3;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* src = bitmap + std::size_t(height - 1 - y) * stride;
        auto* dst = reinterpret_cast<std::uint32_t*>(picture.scanLine(y));
        int x = 0;
        // Four pixels from three little-endian words: the per-byte loop costs the display
        // thread about twice as much.
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
            dst[x] =
                0xFF000000u | std::uint32_t(src[2]) << 16 | std::uint32_t(src[1]) << 8 | src[0];
    }
}
