// How many frames a capture's ring holds: a count, a share of the free memory, or the seconds of
// frames at the stream's rate (capped by a share of the free memory).
#pragma once

namespace kestrix::session {

struct RingSize {
    enum class Kind { Frames, MemoryShare, Seconds };
    Kind kind = Kind::Seconds;
    double amount = 2;    // frames, percent (1..99) or seconds
    int capPercent = 50;  // Seconds: never more than this share of the free memory
    int minimum = 5;      // slots at the least, whatever the memory says (at least 2)

    static RingSize Frames(int count) { return {Kind::Frames, double(count), 50, 2}; }
    static RingSize MemoryShare(int percent) { return {Kind::MemoryShare, double(percent), 50, 5}; }
    static RingSize Seconds(double seconds, int capPercent = 50) {
        return {Kind::Seconds, seconds, capPercent, 5};
    }
};

}  // namespace kestrix::session
