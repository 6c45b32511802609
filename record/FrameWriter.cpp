// Choosing a recording's writer by its file name.
#include "record/FrameWriter.h"

#include <algorithm>
#include <cctype>

#include "record/AviWriter.h"
#include "record/ImageSequenceWriter.h"
#include "record/MkvWriter.h"
#include "record/SerWriter.h"
#include "record/TiffWriter.h"

namespace kestrix::record {

namespace {

bool EndsWith(const std::string& text, std::string_view end) {
    return text.size() >= end.size() &&
           std::equal(end.rbegin(), end.rend(), text.rbegin(), [](char a, char b) {
               return a == std::tolower(static_cast<unsigned char>(b));
           });
}

template <class Writer, class... Args>
std::unique_ptr<FrameWriter> Made(std::string& error, Args&&... args) {
    auto writer = std::make_unique<Writer>(std::forward<Args>(args)..., error);
    if (!error.empty()) return {};
    return writer;
}

}  // namespace

FrameWriter::Kind FrameWriter::KindOf(const std::string& path) {
    const bool tiff = EndsWith(path, ".tif") || EndsWith(path, ".tiff");
    if (path.find('%') != std::string::npos) {
        return EndsWith(path, ".png") ? Kind::PngSequence : tiff ? Kind::TiffSequence : Kind::None;
    }
    if (EndsWith(path, ".avi")) return Kind::Avi;
    if (EndsWith(path, ".ser")) return Kind::Ser;
    if (EndsWith(path, ".mkv")) return Kind::Mkv;
    return tiff ? Kind::Tiff : Kind::None;
}

std::string FrameWriter::NameProblem(const std::string& path) {
    const Kind kind = KindOf(path);
    if (kind == Kind::None) {
        return "'" + path +
               "' names no recording format: end it in .avi, .ser, .tif, .tiff or .mkv, or give "
               "a pattern such as frames/%06d.png or %06d.tif";
    }
    if ((kind == Kind::PngSequence || kind == Kind::TiffSequence) &&
        !ImageSequenceWriter::FileName(path, 0)) {
        return "'" + path + "' needs exactly one %d (as in frames/%06d.png; %% for a %)";
    }
    return {};
}

std::unique_ptr<FrameWriter> FrameWriter::Open(const std::string& path, const FrameFormat& format,
                                               const WriterOptions& options, std::string& error) {
    error = NameProblem(path);
    if (!error.empty()) return {};
    if (options.codec != "ffv1" && KindOf(path) != Kind::Mkv) {
        error = "--codec " + options.codec + " is for .mkv files";
        return {};
    }
    switch (KindOf(path)) {
        case Kind::Avi:
            return Made<AviWriter>(error, path, format);
        case Kind::Ser:
            return Made<SerWriter>(error, path, format);
        case Kind::Tiff:
            return Made<TiffWriter>(error, path, format, options.expectedFrames);
        case Kind::Mkv:
            if (options.codec != "ffv1" && options.codec != "h264") {
                error = "unknown codec '" + options.codec + "' (ffv1 or h264)";
                return {};
            }
            return Made<MkvWriter>(error, path, format, options.codec);
        default:
            return Made<ImageSequenceWriter>(error, path, format,
                                             KindOf(path) == Kind::TiffSequence);
    }
}

}  // namespace kestrix::record
