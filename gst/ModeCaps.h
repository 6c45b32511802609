// Caps of a camera's modes and back: the raw video format of each colour coding (RAW8 as a
// Bayer mosaic), the mode's size, and its frame rates as the camera offers them.
#pragma once

#include <gst/gst.h>
#include <gst/video/video.h>

#include <optional>
#include <string>
#include <vector>

#include "session/ModeOffer.h"

namespace modecaps {

using kestrix::session::Fraction;
using kestrix::session::ModeOffer;

// Every format the element can produce, with any size and rate.
GstCaps* TemplateCaps();
// The offers as caps, one structure per mode; only the mode named when one is.
GstCaps* OffersCaps(const std::vector<ModeOffer>& offers, const std::string& onlyMode = {});

struct Choice {
    const ModeOffer* offer = nullptr;
    int rateIndex = -1;  // fixed modes
    Fraction rate;
    Format7Region region;  // Format 7: where on the sensor; fixed modes: the whole frame
};
// The offer (of the mode named, when one is) and rate that fixed caps ask for; empty when no
// offer matches.
std::optional<Choice> Choose(const std::vector<ModeOffer>& offers, const GstCaps* caps,
                             const std::string& onlyMode = {});
// Fixes a structure of the offers' caps: its largest size, then the rate a Format 7 mode has at
// that size, or else the rate nearest preferredRate.
void Fixate(const std::vector<ModeOffer>& offers, GstStructure* s, int preferredRate,
            const std::string& onlyMode = {});

// Whether fixed caps are video/x-raw (else a Bayer mosaic, which video buffer pools refuse).
bool IsRawVideo(const GstCaps* caps);
// The frame layout of fixed caps; a Bayer mosaic is laid out as 8-bit grey.
bool VideoInfoOf(const GstCaps* caps, GstVideoInfo* info);

}  // namespace modecaps
