// SIMD row converters behind FrameConverter: internal to the camera library.
#pragma once

#include <cstddef>
#include <cstdint>

#include "camera/FrameConverter.h"

namespace frame_simd {

// One colour table set, scaled by 256: Rv[i] = rv * (i - 128), Gu, Gv and Bu alike,
// Yt[i] = y * (i - yOffset).
struct ColorCoefficients {
    int rv;
    int gu;
    int gv;
    int bu;
    int y;
    int yOffset;
};

// Signed byte weights of a (Y, chroma) byte pair.
struct PairWeights {
    std::int8_t luma;
    std::int8_t chroma;
};

// One colour's table sum s, split so that every step fits a 16-bit lane exactly:
// floor(s / 256) = q.(Y,U) + q.(Y,V) - kh + ((r.(Y,U) + r.(Y,V) - kl) >> 8).
// Blue weighs only the (Y, U) pairs and red only the (Y, V) pairs.
struct SplitChannel {
    PairWeights qYU;
    PairWeights rYU;
    PairWeights qYV;
    PairWeights rYV;
    std::int16_t kh;
    std::int16_t kl;
};

struct SplitCoefficients {
    SplitChannel blue;
    SplitChannel green;
    SplitChannel red;
};

// False when some step could leave a 16-bit lane, so that only the plain code is exact.
bool SplitExactly(const ColorCoefficients& coefficients, SplitCoefficients& split);

// Where a frame's rows are: source row y at src + y * srcStep, its bitmap row at dst + y * dstStep.
struct FrameRows {
    std::uint8_t* dst;
    std::ptrdiff_t dstStep;
    const std::uint8_t* src;
    std::ptrdiff_t srcStep;
    int width;
    int height;
};

// Converts the same leading pixels of every row and returns how many (whole sample groups); the
// plain code finishes the rows. Reads only the source bytes of the pixels it converts and writes
// only their 3 bytes each.
using FrameKernel = int (*)(const SplitCoefficients& split, const FrameRows& rows);

// Null when `path` has no SIMD code for the coding or this build has none at all.
FrameKernel KernelFor(FrameConverter::ConversionPath path, int colorCoding);

bool CpuSupports(FrameConverter::ConversionPath path);

}  // namespace frame_simd
