// A recording of a Python stream into a file (Stream.record): the recording layer's Recorder on
// the stream's frames, the camera's features polled for its frame log. While it runs, the
// stream's frames go to the file and frames()/grab() refuse.
//
// Threading: any thread; the Recorder writes on its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "record/Recorder.h"

namespace kxpy {

class FrameStream;

class Recording {
public:
    // Starts recording the stream into path (its name chooses the format); frames: stop by
    // itself after that many. Throws ValueError for a name or codec no writer takes, Error when
    // the file cannot be made.
    Recording(std::shared_ptr<FrameStream> stream, const std::string& path,
              std::optional<std::uint64_t> frames, const std::string& codec, bool frameLog);
    ~Recording();  // stops

    // Waits up to timeout for the recording to stop by itself (its frames written, a failure,
    // the stream's end); whether it did.
    bool Wait(std::optional<std::chrono::nanoseconds> timeout);
    // Finishes the file and its log; raises Error when the recording failed anywhere.
    void Stop();
    kestrix::record::Recorder::Figures Figures() const;
    const std::string& Path() const { return m_strPath; }

private:
    std::shared_ptr<FrameStream> m_pStream;
    std::string m_strPath;
    std::unique_ptr<kestrix::record::Recorder> m_pRecorder;
    std::optional<kestrix::record::Recorder::Figures> m_stopped;  // the figures at the stop
};

}  // namespace kxpy
