// The display pictures and their hand-over between threads.
#include "app/DisplayHandOver.h"

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
        for (int x = 0; x < width; ++x, src += 3)
            dst[x] = 0xFF000000u | std::uint32_t(src[2]) << 16 | std::uint32_t(src[1]) << 8 | src[0];
    }
}
