// Whole pictures handed from the display thread to the window's thread, so that a picture is
// never painted while it is written: the display thread fills the back picture and publishes
// it as pending (a swap under a short lock); the window's thread takes the pending picture as
// its front one and paints only that.
//
// Threading: Back and Publish on the display thread only; TakePending, DropPending and Front
// on the window's thread only; Allocate and Free while no display thread runs.
#pragma once

#include <QImage>

#include <cstdint>
#include <mutex>

class DisplayHandOver {
public:
    void Allocate(int width, int height);
    void Free();

    QImage& Back() { return m_back; }
    // The back picture becomes the pending one, holding ring slot; true when no picture was
    // pending before, so the window's thread must be told.
    bool Publish(int slot);

    // The pending picture becomes the front one; false (front unchanged) when none is pending.
    bool TakePending(int& slot);
    // Forgets a pending picture, so that one the window made itself stays shown.
    void DropPending();
    QImage& Front() { return m_front; }

    // Lays a bottom-up 24-bit blue-green-red bitmap of the picture's size into it, top row first.
    static void LayBitmap(const std::uint8_t* bitmap, QImage& picture);

private:
    std::mutex m_lock;  // guards m_pending, m_nPendingSlot and m_bPending
    QImage m_back;
    QImage m_pending;
    QImage m_front;
    int m_nPendingSlot = -1;
    bool m_bPending = false;
};
