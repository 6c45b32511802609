// kestrix-capture's --bmp and --jpeg: with --frames they show the run's last frame, copied out
// of the ring the moment the run ends. Closing the file and stopping the camera take a while,
// and the frames that keep coming meanwhile would otherwise take that frame's slot on a fast
// stream. Without --frames, or once the ring has lost that frame, they show the newest one.
//
// Threading: the session's thread, which owns the camera object.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "session/Camera.h"
#include "tools/kestrix-capture/CaptureOptions.h"

class CaptureStill {
public:
    using Fail = std::function<void(int code, const std::string& message)>;

    CaptureStill(const CaptureOptions& options, Fail fail)
        : m_options(options), m_fail(std::move(fail)) {}

    // Copies the frame the ring numbered sequence, when a still is asked for and the ring
    // still holds it.
    void Hold(kestrix::session::Camera& camera, std::uint16_t sequence);
    // Writes every still asked for, reporting each that cannot be.
    void Save(kestrix::session::Camera& camera);

private:
    void SaveOne(kestrix::session::Camera& camera, const std::string& path, bool jpeg);

    const CaptureOptions& m_options;
    Fail m_fail;
    std::vector<std::uint8_t> m_frame;  // the held frame, a whole slot; empty: the newest
};
