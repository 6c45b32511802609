// One camera of the grid window: who it is, where it is shown, its format, and while it streams
// here its claim, stream, display pipeline and recording.
#pragma once

#include <QString>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "app/CameraFormatChoice.h"
#include "app/DisplayPipeline.h"
#include "session/Camera.h"
#include "session/CameraInfo.h"
#include "session/FrameStream.h"

struct GridCamera {
    enum class Place {
        Here,       // claimed by the grid
        Elsewhere,  // opened in its own window, or shown by another copy of the program
        Missing,    // not on the bus
    };

    kestrix::session::CameraInfo info;  // index: the one asked for, even when Missing
    Place place = Place::Missing;
    std::shared_ptr<kestrix::session::Camera> camera;       // while Here
    std::optional<CameraFormatChoice> format;               // what it runs; none: no usable mode
    std::shared_ptr<kestrix::session::FrameStream> stream;  // while streaming
    std::unique_ptr<DisplayPipeline> pipeline = std::make_unique<DisplayPipeline>();
    QString problem;  // why it does not stream; empty when nothing is wrong
    QString file;     // the recording open, if any
    // The received rate, measured between two samples.
    std::uint64_t receivedAtSample = 0, lostAtSample = 0;
    std::chrono::steady_clock::time_point sampledAt{};
    double fps = -1;  // negative: not measured yet
};
