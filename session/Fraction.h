// A frame rate as a fraction of frames per second (15/8 for 1.875 fps).
#pragma once

namespace kestrix::session {

struct Fraction {
    int num = 0;
    int den = 1;

    double Value() const { return den != 0 ? double(num) / double(den) : 0.0; }
};

}  // namespace kestrix::session
