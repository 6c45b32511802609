// The view rate: paints per second over windows of a little more than one second, measured on
// a 32-bit millisecond tick that may wrap. Window thread only.
#pragma once

#include <cstdint>
#include <functional>

class ViewRateMeter {
public:
    using TickSource = std::function<std::uint32_t()>;

    ViewRateMeter();  // on the system's tick
    explicit ViewRateMeter(TickSource ticks);

    // One painted frame while streaming. A negative rate (after Start or Stop) opens the first
    // window and becomes 0; a window longer than 1000 ms closes with its rate.
    void Step(float& rate);
    // Whether more than a second passed since the last painted frame: a rate shown then would
    // describe a picture that no longer moves.
    bool IsStale() const;

private:
    std::int64_t Elapsed() const;

    TickSource m_ticks;
    std::uint32_t m_start = 0;
    std::uint32_t m_count = 0;
    std::uint32_t m_lastStep = 0;
};
