// What kestrixsrc keeps beside its GObject instance: C++ members, built in init, destroyed in
// finalize. The streaming side is set up in start and negotiation and used by the streaming
// thread; the stream itself is also read by the stats property and unlock, from any thread.
#pragma once

#include <gst/gst.h>
#include <gst/video/video.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "camera/Format7Geometry.h"
#include "gst/SrcProperties.h"
#include "session/Camera.h"
#include "session/FrameStream.h"
#include "session/ModeOffer.h"

struct SrcState {
    SrcProperties properties;

    std::shared_ptr<kestrix::session::Camera> camera;  // claimed from start to stop
    GstCaps* caps = nullptr;                           // what the open camera offers
    std::vector<kestrix::session::ModeOffer> offers;
    std::string onlyMode;  // the mode property as it stood at start
    const kestrix::session::ModeOffer* running = nullptr;
    int runningRate = -1;
    Format7Region runningRegion;
    GstVideoInfo info{};
    GstClockTime duration = GST_CLOCK_TIME_NONE;
    std::vector<std::uint8_t> scratch;  // for a frame whose rows the buffer pads
    bool lending = false;               // frames go downstream in place while spares last

    // Read by the stats property and unlock from any thread.
    mutable std::mutex streamLock;  // guards stream and finished
    std::shared_ptr<kestrix::session::FrameStream> stream;
    kestrix::session::StreamCounters finished;  // the last stream's, once it stopped
    std::uint32_t frameBytes = 0;               // the last stream's
    std::atomic<bool> interrupted{false};
    std::atomic<std::uint64_t> lent{0};  // of the frames delivered, those lent in place

    std::shared_ptr<kestrix::session::FrameStream> Stream() const {
        std::scoped_lock lock(streamLock);
        return stream;
    }
    std::uint32_t SlotBytes() const {
        const auto current = Stream();
        return current ? current->SlotBytes() : 0;
    }
    std::uint32_t FrameBytes() const {
        const auto current = Stream();
        return current ? current->FrameBytes() : 0;
    }

    ~SrcState() {
        if (caps != nullptr) gst_caps_unref(caps);
    }
};
