// The live progress line of a recording on a terminal: frames, frames per second and dropped
// frames, redrawn in place a few times a second and cleared at the end. Silent elsewhere.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

class ProgressLine {
public:
    // Draws on stream when it is a terminal.
    explicit ProgressLine(std::FILE* stream);
    ~ProgressLine();  // clears the line

    void Update(std::uint64_t frames, double fps, std::uint64_t dropped);
    void Clear();

private:
    std::FILE* m_stream;
    bool m_bShown = false;
    std::chrono::steady_clock::time_point m_lastDrawn{};
};
