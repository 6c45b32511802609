// Caps of a camera's modes and back: the raw video format of each colour coding, the mode's
// size, and its frame rates as the camera offers them.
#pragma once

#include <gst/gst.h>

#include <optional>
#include <string>
#include <vector>

#include "gst/CameraOffer.h"

namespace modecaps {

// Every format the element can produce, with any size and rate.
GstCaps* TemplateCaps();
// The offers as caps, one structure per mode; only the mode named when one is.
GstCaps* OffersCaps(const std::vector<ModeOffer>& offers, const std::string& onlyMode = {});

struct Choice {
    const ModeOffer* offer = nullptr;
    int rateIndex = -1;  // fixed modes
    Fraction rate;
};
// The offer and rate that fixed caps ask for; empty when no offer matches.
std::optional<Choice> Choose(const std::vector<ModeOffer>& offers, const GstCaps* caps);

}  // namespace modecaps
