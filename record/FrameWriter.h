// One recording file of one format: frames appended in order, then finished. Open chooses the
// writer by the output's name: .avi, .ser, .tif/.tiff (one stack), .mkv, or a name with a
// printf pattern (frames/%06d.png, %06d.tif) for one file per frame.
//
// Every writer keeps what it wrote readable as it goes: after a failed write (a full disk) or a
// killed process, the file opens with the frames written before.
//
// Threading: one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "record/FrameFormat.h"
#include "session/FrameMetadata.h"

namespace kestrix::record {

struct WriterOptions {
    std::string codec = "ffv1";      // .mkv: ffv1 (lossless) or h264 (small, lossy)
    std::uint64_t expectedFrames = 0;  // 0: not known (a TIFF stack is then BigTIFF)
};

class FrameWriter {
public:
    enum class Kind { None, Avi, Ser, Tiff, Mkv, PngSequence, TiffSequence };

    virtual ~FrameWriter() = default;

    // The format path's name chooses (its ending, case aside; a % makes it a sequence).
    static Kind KindOf(const std::string& path);
    // The writer for path's name, its file created; nothing, with error set, for a name no writer
    // takes, frames it cannot store, or a file that cannot be made.
    static std::unique_ptr<FrameWriter> Open(const std::string& path, const FrameFormat& format,
                                             const WriterOptions& options, std::string& error);
    // Why no writer takes path's name, or empty when one does (checked before a camera is
    // touched).
    static std::string NameProblem(const std::string& path);

    // Appends one frame of format.frameBytes bytes; false with error set when it is not in the
    // file: the recording is over, the frames before stay readable.
    virtual bool Write(std::span<const std::uint8_t> frame, const session::FrameMetadata& meta,
                       std::string& error) = 0;
    // Completes the file (counts, indexes); false with error set when that failed.
    virtual bool Finish(std::string& error) = 0;
};

}  // namespace kestrix::record
