// A consumer of a capture's frames that runs on a thread of its own (the AVI recorder). While it
// is attached to a capture thread, the capture thread signals FrameReady() after every frame it
// stores with recording on; the consumer copies slots out with CopyFrame.
#pragma once

#include "platform/Event.h"

class FrameSink {
public:
    virtual ~FrameSink() = default;

    // Lives as long as the sink; signalled by the receive thread, so it must never block.
    virtual platform::Event& FrameReady() = 0;
    // Stops the consumer's thread and waits for it; afterwards the sink touches the ring no more.
    // Called once, on the thread that detaches the sink or ends the capture.
    virtual void Stop() = 0;
};
