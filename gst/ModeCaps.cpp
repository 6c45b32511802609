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

GstStructure* StructureOf(const ModeOffer& offer) {
    const MediaFormat ours = FormatOf(offer.mode);
    GstStructure* s = gst_structure_new(
        ours.media, "format", G_TYPE_STRING, ours.format, "width", G_TYPE_INT, offer.mode.width,
        "height", G_TYPE_INT, offer.mode.height, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1,
        "interlace-mode", G_TYPE_STRING, "progressive", nullptr);
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
        const MediaFormat ours = FormatOf(offer.mode);
        if (ours.media == nullptr || !gst_structure_has_name(s, ours.media) ||
            std::strcmp(ours.format, format) != 0 || offer.mode.width != width ||
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
