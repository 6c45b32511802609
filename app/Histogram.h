// The histogram of one picture: 256 bins per channel (red, green, blue, luminance), the pixels at
// either end of the range, and optionally the picture's overexposed pixels as an overlay. A mono
// 16 frame is counted from its own samples over the whole 16-bit range, 256 values a bin.
#pragma once

#include <QImage>

#include <array>
#include <cstdint>
#include <span>

class Histogram {
public:
    enum Channel { Red, Green, Blue, Luminance, kChannels };
    static constexpr int kBins = 256;

    // picture: the converted picture (32-bit RGB); raw: the camera's frame, read for mono 16
    // (IIDC coding 5, big-endian samples) only. overlay: also make Overexposed().
    static Histogram Count(const QImage& picture, int colorCoding,
                           std::span<const std::uint8_t> raw, bool overlay);

    const std::array<std::uint32_t, kBins>& Bins(Channel channel) const {
        return m_bins[channel];
    }
    // Pixels at the lowest and the highest value of the channel's range.
    std::uint64_t Low(Channel channel) const { return m_low[channel]; }
    std::uint64_t High(Channel channel) const { return m_high[channel]; }
    std::uint64_t Pixels() const { return m_nPixels; }
    // Only luminance is counted (a grey picture).
    bool Mono() const { return m_bMono; }
    // Opaque red where any channel is at its highest value, transparent elsewhere; null unless
    // asked for.
    const QImage& Overexposed() const { return m_overexposed; }

private:
    void CountPicture(const QImage& picture, bool overlay);
    void CountMono16(std::span<const std::uint8_t> raw, int width, int height, bool overlay);

    std::array<std::array<std::uint32_t, kBins>, kChannels> m_bins{};
    std::array<std::uint64_t, kChannels> m_low{}, m_high{};
    std::uint64_t m_nPixels = 0;
    bool m_bMono = false;
    QImage m_overexposed;
};
