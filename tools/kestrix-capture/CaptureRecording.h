// kestrix-capture's AVI recording: the camera object's recorder attached to the running capture,
// its figures while it records, and its end, with the file's own failures (a full disk, a file
// gone with its folder).
//
// The recorder stays at the camera index the file was opened under, also once the camera has
// left the bus or the table changed, so its figures are read there.
//
// Threading: the session's thread, which owns the camera object.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "session/Camera.h"
#include "tools/kestrix-capture/CaptureOptions.h"
#include "tools/kestrix-capture/OutputFileCheck.h"

class CaptureRecording {
public:
    using Fail = std::function<void(int code, const std::string& message)>;

    CaptureRecording(const CaptureOptions& options, Fail fail)
        : m_options(options), m_fail(std::move(fail)) {}

    // Opens the file on the camera's capture and starts the recorder, which pauses itself after
    // --frames; false, reported, when it cannot.
    bool Start(kestrix::session::Camera& camera);
    // Whether the recorder stopped by itself (a write failed) or its file is gone.
    bool Ended(OutputFileCheck::Clock::time_point now);
    std::uint64_t Frames() const;
    std::uint64_t Dropped() const;
    // The ring's number for the frame with which the recorder reached --frames, once it has.
    std::optional<std::uint16_t> LimitFrame() const;
    // Pauses and closes the recorder, reporting why the file is short if it is.
    void Close();

private:
    template <class Job>
    auto Recorder(Job job) const {
        return m_pManager->Call([&](C1394Dcam& cam) { return job(cam, m_nIndex); });
    }

    const CaptureOptions& m_options;
    Fail m_fail;
    kestrix::session::CameraManager* m_pManager = nullptr;  // set once the file is open
    int m_nIndex = -1;
    OutputFileCheck m_file;  // the recording's file, watched while it grows
};
