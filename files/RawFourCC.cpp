// Raw frame tags by colour coding, in the camera maker's style and in the decoders' style.
#include "files/RawFourCC.h"

#include <array>

#include "files/CRiffFile.h"

namespace files {

namespace {

struct Tags {
    std::uint32_t camera;
    std::uint32_t standard;
};

// Indexed by IIDC colour coding. The standard tags say the same bytes the camera sends: Y411 is
// U Y Y V Y Y, UYVY is U Y V Y, b16g and b48r are big-endian 16-bit samples, and "raw " at 24
// bits is R G B top row first (a BI_RGB frame would be B G R bottom row first). The maker's
// tags have none for RAW8, so no file relies on one: both styles call its mosaic 8-bit grey,
// which players show as it is.
constexpr std::array<Tags, 10> kTags{{
    {CRiffFile::FourCC("dcm1"), CRiffFile::FourCC("Y800")},  // mono 8
    {CRiffFile::FourCC("dcy1"), CRiffFile::FourCC("Y411")},  // YUV 4:1:1
    {CRiffFile::FourCC("dcy2"), CRiffFile::FourCC("UYVY")},  // YUV 4:2:2
    {CRiffFile::FourCC("dcy3"), CRiffFile::FourCC("dcy3")},  // YUV 4:4:4: no decoder tag
    {CRiffFile::FourCC("dcr1"), CRiffFile::FourCC("raw ")},  // RGB 8
    {CRiffFile::FourCC("dcm2"), CRiffFile::FourCC("b16g")},  // mono 16
    {CRiffFile::FourCC("dcr2"), CRiffFile::FourCC("b48r")},  // RGB 16
    {0, 0},                                                  // none
    {0, 0},                                                  // signed mono 16: never set
    {CRiffFile::FourCC("Y800"), CRiffFile::FourCC("Y800")},  // RAW8
}};

}  // namespace

std::uint32_t RawFourCCFor(int colorCoding, RawFourCC style) {
    if (colorCoding < 0 || colorCoding >= int(kTags.size())) return 0;
    const Tags& tags = kTags[std::size_t(colorCoding)];
    return style == RawFourCC::Standard ? tags.standard : tags.camera;
}

}  // namespace files
