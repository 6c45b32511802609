// Mapping between the camera's colour codings and GStreamer's raw video formats.
#include "gst/ModeCaps.h"

#include <cstring>

namespace modecaps {
namespace {

// By IIDC colour coding id: the byte layouts match the camera's (U Y0 V Y1 for 4:2:2, U Y0 Y1
// V Y2 Y3 for 4:1:1, U Y V for 4:4:4, 16-bit grey high byte first).
constexpr const char* kFormats[] = {"GRAY8", "IYU1", "UYVY", "IYU2", "RGB", "GRAY16_BE"};
constexpr int kFormatCount = int(sizeof kFormats / sizeof kFormats[0]);
constexpr const char* kRawVideo = "video/x-raw";
constexpr const char* kBayer = "video/x-bayer";
constexpr int kLargestSide = 65535;

struct MediaFormat {
    const char* media = nullptr;
    const char* format = nullptr;
};

// RAW8 is a Bayer mosaic of the pattern its colour-filter register names; a camera that names
// none sends it as the grey picture it then is.
MediaFormat FormatOf(const CameraModes::Mode& mode) {
    if (mode.colorCoding == FrameConverter::Raw8) {
        return mode.bayer == BayerPattern::None ? MediaFormat{kRawVideo, "GRAY8"}
                                                : MediaFormat{kBayer, BayerPatternName(mode.bayer)};
    }
    const int coding = mode.colorCoding;
    return coding >= 0 && coding < kFormatCount ? MediaFormat{kRawVideo, kFormats[coding]}
                                                : MediaFormat{};
}

GstStructure* AnySize(const char* media, const char* format) {
    return gst_structure_new(media, "format", G_TYPE_STRING, format, "width", GST_TYPE_INT_RANGE, 1,
                             kLargestSide, "height", GST_TYPE_INT_RANGE, 1, kLargestSide,
                             "framerate", GST_TYPE_FRACTION_RANGE, 0, 1, G_MAXINT, 1, nullptr);
}

void SetRate(GValue* value, Fraction rate) {
    g_value_init(value, GST_TYPE_FRACTION);
    gst_value_set_fraction(value, rate.num, rate.den);
}

// A size as an int, or a range in the camera's steps when it offers more than one.
void SetSide(GstStructure* s, const char* field, int step, int largest) {
    GValue side = G_VALUE_INIT;
    if (step < largest) {
        g_value_init(&side, GST_TYPE_INT_RANGE);
        gst_value_set_int_range_step(&side, step, largest, step);
    } else {
        g_value_init(&side, G_TYPE_INT);
        g_value_set_int(&side, largest);
    }
    gst_structure_take_value(s, field, &side);
}

// Format 7: every size on the camera's grid, and the rates those sizes give, from the largest
// frame's to the smallest's.
void SetFormat7Range(GstStructure* s, const ModeOffer& offer) {
    const Format7Geometry& g = *offer.format7;
    const int widest = g.maxWidth / g.unitWidth * g.unitWidth;
    const int highest = g.maxHeight / g.unitHeight * g.unitHeight;
    SetSide(s, "width", g.unitWidth, widest);
    SetSide(s, "height", g.unitHeight, highest);
    const Fraction slowest = offer.Format7Rate(widest, highest);
    const Fraction fastest = offer.Format7Rate(g.unitWidth, g.unitHeight);
    GValue rates = G_VALUE_INIT;
    if (gst_util_fraction_compare(slowest.num, slowest.den, fastest.num, fastest.den) < 0) {
        g_value_init(&rates, GST_TYPE_FRACTION_RANGE);
        gst_value_set_fraction_range_full(&rates, slowest.num, slowest.den, fastest.num,
                                          fastest.den);
    } else {
        SetRate(&rates, slowest);
    }
    gst_structure_take_value(s, "framerate", &rates);
}

GstStructure* StructureOf(const ModeOffer& offer) {
    const MediaFormat ours = FormatOf(offer.mode);
    GstStructure* s = gst_structure_new(
        ours.media, "format", G_TYPE_STRING, ours.format, "width", G_TYPE_INT, offer.mode.width,
        "height", G_TYPE_INT, offer.mode.height, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1,
        "interlace-mode", G_TYPE_STRING, "progressive", nullptr);
    if (offer.format7) {
        SetFormat7Range(s, offer);
        return s;
    }
    GValue rates = G_VALUE_INIT;
    if (offer.rateIndexes.size() == 1) {
        SetRate(&rates, ModeOffer::RateOf(offer.rateIndexes.front()));
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

// The first offer (of the mode named, when one is) that sends frames of that media type,
// format and size at a rate that `takes` accepts; a fixed mode at the fastest such rate.
template <typename Takes>
std::optional<Choice> Match(const std::vector<ModeOffer>& offers, const std::string& onlyMode,
                            const GstStructure* s, const char* format, int width, int height,
                            Takes takes) {
    for (const ModeOffer& offer : offers) {
        const MediaFormat ours = FormatOf(offer.mode);
        if (ours.media == nullptr || !gst_structure_has_name(s, ours.media) ||
            std::strcmp(ours.format, format) != 0 ||
            (!onlyMode.empty() && offer.mode.name != onlyMode)) {
            continue;
        }
        if (offer.format7) {
            // The packet size sets a Format 7 rate: caps asking another rate of this size fit
            // no mode.
            const Fraction rate = offer.Format7Rate(width, height);
            if (offer.Fits(width, height) && takes(rate))
                return Choice{&offer, -1, rate, offer.Centred(width, height)};
            continue;
        }
        if (offer.mode.width != width || offer.mode.height != height) continue;
        for (int index : offer.rateIndexes) {
            if (takes(ModeOffer::RateOf(index)))
                return Choice{&offer, index, ModeOffer::RateOf(index), {0, 0, width, height}};
        }
    }
    return {};
}

}  // namespace

GstCaps* TemplateCaps() {
    GstCaps* caps = gst_caps_new_empty();
    for (const char* format : kFormats) gst_caps_append_structure(caps, AnySize(kRawVideo, format));
    for (auto pattern :
         {BayerPattern::Rggb, BayerPattern::Gbrg, BayerPattern::Grbg, BayerPattern::Bggr}) {
        gst_caps_append_structure(caps, AnySize(kBayer, BayerPatternName(pattern)));
    }
    return caps;
}

GstCaps* OffersCaps(const std::vector<ModeOffer>& offers, const std::string& onlyMode) {
    GstCaps* caps = gst_caps_new_empty();
    for (const ModeOffer& offer : offers) {
        if (!FormatOf(offer.mode).media) continue;
        if (!onlyMode.empty() && offer.mode.name != onlyMode) continue;
        gst_caps_append_structure(caps, StructureOf(offer));
    }
    return caps;
}

std::optional<Choice> Choose(const std::vector<ModeOffer>& offers, const GstCaps* caps,
                             const std::string& onlyMode) {
    if (caps == nullptr || gst_caps_get_size(caps) == 0) return {};
    const GstStructure* s = gst_caps_get_structure(caps, 0);
    const char* format = gst_structure_get_string(s, "format");
    int width = 0, height = 0, num = 0, den = 1;
    if (format == nullptr || !gst_structure_get_int(s, "width", &width) ||
        !gst_structure_get_int(s, "height", &height) ||
        !gst_structure_get_fraction(s, "framerate", &num, &den)) {
        return {};
    }
    return Match(offers, onlyMode, s, format, width, height,
                 [&](Fraction rate) { return SameRate(rate, num, den); });
}

void Fixate(const std::vector<ModeOffer>& offers, GstStructure* s, int preferredRate,
            const std::string& onlyMode) {
    // The largest size left, as a Format 7 mode always ran before it offered others.
    gst_structure_fixate_field_nearest_int(s, "width", G_MAXINT);
    gst_structure_fixate_field_nearest_int(s, "height", G_MAXINT);
    const char* format = gst_structure_get_string(s, "format");
    const GValue* rates = gst_structure_get_value(s, "framerate");
    int width = 0, height = 0;
    std::optional<Choice> choice;
    if (format != nullptr && rates != nullptr && gst_structure_get_int(s, "width", &width) &&
        gst_structure_get_int(s, "height", &height)) {
        choice = Match(offers, onlyMode, s, format, width, height, [&](Fraction rate) {
            GValue one = G_VALUE_INIT;
            SetRate(&one, rate);
            const bool takes = gst_value_can_intersect(&one, rates);
            g_value_unset(&one);
            return takes;
        });
    }
    const Fraction rate = choice && choice->offer->format7 ? choice->rate
                                                           : Fraction{preferredRate, 1};
    gst_structure_fixate_field_nearest_fraction(s, "framerate", rate.num, rate.den);
}

bool IsRawVideo(const GstCaps* caps) {
    return caps != nullptr && gst_caps_get_size(caps) > 0 &&
           gst_structure_has_name(gst_caps_get_structure(caps, 0), kRawVideo);
}

bool VideoInfoOf(const GstCaps* caps, GstVideoInfo* info) {
    if (IsRawVideo(caps)) return gst_video_info_from_caps(info, caps);
    // A Bayer frame lies in memory as 8-bit grey does, rows padded to 4 bytes.
    const GstStructure* s = gst_caps_get_structure(caps, 0);
    int width = 0, height = 0, num = 0, den = 1;
    if (!gst_structure_has_name(s, kBayer) || !gst_structure_get_int(s, "width", &width) ||
        !gst_structure_get_int(s, "height", &height) ||
        !gst_structure_get_fraction(s, "framerate", &num, &den) ||
        !gst_video_info_set_format(info, GST_VIDEO_FORMAT_GRAY8, guint(width), guint(height))) {
        return false;
    }
    GST_VIDEO_INFO_FPS_N(info) = num;
    GST_VIDEO_INFO_FPS_D(info) = den;
    return true;
}

}  // namespace modecaps
