// Mapping between the camera's colour codings and GStreamer's raw video formats.
#include "gst/ModeCaps.h"

#include <cstring>

namespace modecaps {
namespace {

// By IIDC colour coding id: the byte layouts match the camera's (U Y0 V Y1 for 4:2:2, U Y0 Y1
// V Y2 Y3 for 4:1:1, U Y V for 4:4:4, 16-bit grey high byte first).
constexpr const char* kFormats[] = {"GRAY8", "IYU1", "UYVY", "IYU2", "RGB", "GRAY16_BE"};
constexpr int kFormatCount = int(sizeof kFormats / sizeof kFormats[0]);
constexpr int kLargestSide = 65535;

const char* FormatOf(int coding) {
    return coding >= 0 && coding < kFormatCount ? kFormats[coding] : nullptr;
}

void SetRate(GValue* value, Fraction rate) {
    g_value_init(value, GST_TYPE_FRACTION);
    gst_value_set_fraction(value, rate.num, rate.den);
}

GstStructure* StructureOf(const ModeOffer& offer) {
    GstStructure* s = gst_structure_new(
        "video/x-raw", "format", G_TYPE_STRING, FormatOf(offer.mode.colorCoding), "width",
        G_TYPE_INT, offer.mode.width, "height", G_TYPE_INT, offer.mode.height, "pixel-aspect-ratio",
        GST_TYPE_FRACTION, 1, 1, "interlace-mode", G_TYPE_STRING, "progressive", nullptr);
    GValue rates = G_VALUE_INIT;
    if (offer.mode.Format7() || offer.rateIndexes.size() == 1) {
        SetRate(&rates, offer.mode.Format7() ? offer.format7Rate
                                             : ModeOffer::RateOf(offer.rateIndexes.front()));
    } else {
        g_value_init(&rates, GST_TYPE_LIST);
        for (int index : offer.rateIndexes) {
            GValue rate = G_VALUE_INIT;
            SetRate(&rate, ModeOffer::RateOf(index));
            gst_value_list_append_and_take_value(&rates, &rate);
        }
    }
    gst_structure_take_value(s, "framerate", &rates);
    return s;
}

bool SameRate(Fraction a, int num, int den) {
    return gst_util_fraction_compare(a.num, a.den, num, den) == 0;
}

}  // namespace

GstCaps* TemplateCaps() {
    GstCaps* caps = gst_caps_new_empty();
    for (const char* format : kFormats) {
        gst_caps_append_structure(
            caps, gst_structure_new("video/x-raw", "format", G_TYPE_STRING, format, "width",
                                    GST_TYPE_INT_RANGE, 1, kLargestSide, "height",
                                    GST_TYPE_INT_RANGE, 1, kLargestSide, "framerate",
                                    GST_TYPE_FRACTION_RANGE, 0, 1, G_MAXINT, 1, nullptr));
    }
    return caps;
}

GstCaps* OffersCaps(const std::vector<ModeOffer>& offers, const std::string& onlyMode) {
    GstCaps* caps = gst_caps_new_empty();
    for (const ModeOffer& offer : offers) {
        if (!FormatOf(offer.mode.colorCoding)) continue;
        if (!onlyMode.empty() && offer.mode.name != onlyMode) continue;
        gst_caps_append_structure(caps, StructureOf(offer));
    }
    return caps;
}

std::optional<Choice> Choose(const std::vector<ModeOffer>& offers, const GstCaps* caps) {
    if (caps == nullptr || gst_caps_get_size(caps) == 0) return {};
    const GstStructure* s = gst_caps_get_structure(caps, 0);
    const char* format = gst_structure_get_string(s, "format");
    int width = 0, height = 0, num = 0, den = 1;
    if (format == nullptr || !gst_structure_get_int(s, "width", &width) ||
        !gst_structure_get_int(s, "height", &height) ||
        !gst_structure_get_fraction(s, "framerate", &num, &den)) {
        return {};
    }
    for (const ModeOffer& offer : offers) {
        const char* ours = FormatOf(offer.mode.colorCoding);
        if (ours == nullptr || std::strcmp(ours, format) != 0 || offer.mode.width != width ||
            offer.mode.height != height) {
            continue;
        }
        if (offer.mode.Format7()) return Choice{&offer, -1, offer.format7Rate};
        for (int index : offer.rateIndexes) {
            if (SameRate(ModeOffer::RateOf(index), num, den))
                return Choice{&offer, index, ModeOffer::RateOf(index)};
        }
    }
    return {};
}

}  // namespace modecaps
