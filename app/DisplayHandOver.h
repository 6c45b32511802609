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
#include <vector>

#include "camera/FrameConverter.h"

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
    // Converts a raw frame of the picture's size into it, a band of rows at a time through
    // `band`, a bitmap small enough to stay in the processor's cache: a whole-frame bitmap
    // between conversion and laying cost as much memory traffic as the conversion itself.
    // False, leaving the picture as it was, when the converter refuses the coding or size.
    static bool ConvertFrame(const FrameConverter& converter, int colorCoding,
                             const std::uint8_t* raw, QImage& picture,
                             std::vector<std::uint8_t>& band,
                             BayerPattern bayer = BayerPattern::None);

private:
    // Lays one bitmap row (blue-green-red) into one picture row.
    using RowLayer = void (*)(const std::uint8_t* src, std::uint32_t* dst, int width);
    static RowLayer ChooseRowLayer();
    // LayBitmap with bitmap rows `stride` bytes apart.
    static void LayRows(const std::uint8_t* bitmap, std::size_t stride, QImage& picture);

    std::mutex m_lock;  // guards m_pending, m_nPendingSlot and m_bPending
    QImage m_back;
    QImage m_pending;
    QImage m_front;
    int m_nPendingSlot = -1;
    bool m_bPending = false;
};
