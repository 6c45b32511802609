// What a Format 7 mode allows (sensor size, the steps of the region's size and position, the
// packet sizes) and the arithmetic on it: a region snapped onto the camera's grid, a packet
// size it accepts, and the frame rate a packet size gives.
#pragma once

#include <cstdint>
#include <optional>

class C1394Dcam;

// An image region in pixels: its top-left corner and its size.
struct Format7Region {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;

    bool operator==(const Format7Region&) const = default;
};

class Format7Geometry {
public:
    static constexpr double kCyclesPerSecond = 8000;  // one packet per 125 us cycle

    int maxWidth = 0, maxHeight = 0;
    int unitWidth = 1, unitHeight = 1;  // steps of the size
    int unitLeft = 1, unitTop = 1;      // steps of the position
    int packetUnit = 4, packetMax = 0;  // bytes per packet: multiples of the unit up to the max
    int packetRecommended = 0;          // 0 when the camera recommends none

    // From the mode's inquiry registers (f7mode 0..7); nothing when the camera does not answer
    // or reports a size or unit of 0.
    static std::optional<Format7Geometry> Read(C1394Dcam& cam, int camera, int f7mode);

    // The nearest region the camera takes: size rounded down to its steps (at least one step,
    // at most the sensor), position rounded down to its steps and moved back so that the region
    // stays on the sensor.
    Format7Region Fit(Format7Region region) const;
    // The nearest packet size the camera takes at a bus speed that carries at most speedMax
    // bytes: a multiple of the unit from one unit up to the smaller maximum.
    int FitPacket(int bytes, int speedMax) const;
    // The largest packet size at that speed.
    int LargestPacket(int speedMax) const;

    // Bits per pixel of an IIDC colour coding (0..6, 9 RAW8); 0 for any other.
    static int BitsPerPixel(int coding);
    static std::uint64_t FrameBytes(const Format7Region& region, int coding);
    // Packets a frame takes, the last one padded; 0 when bytesPerPacket is not positive.
    static std::uint64_t PacketsPerFrame(std::uint64_t frameBytes, int bytesPerPacket);
    // Frames a second at one packet a cycle; 0 when nothing is sent.
    static double FrameRate(std::uint64_t frameBytes, int bytesPerPacket);
};
