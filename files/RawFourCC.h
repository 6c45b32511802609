// The FourCC a raw AVI recording names its frames by: the camera maker's own tags, which files
// others already hold rely on, or the tags that common decoders know for the same bytes.
#pragma once

#include <cstdint>

namespace files {

enum class RawFourCC {
    Camera,    // "dcm1", "dcy2", ...: readable only by software that knows the maker's tags
    Standard,  // "Y800", "UYVY", ...: where a decoder's tag describes the bytes as they are
};

// The strh handler and strf compression tag of raw frames of IIDC colour coding 0..6 and 9
// (RAW8); 0 for another coding. The standard style keeps the camera's tag for a coding no decoder
// has a tag for (YUV 4:4:4, whose U Y V byte order none of them reads).
std::uint32_t RawFourCCFor(int colorCoding, RawFourCC style);

}  // namespace files
