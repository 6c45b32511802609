// The per-thread queue through which the owner thread runs its endpoints' handlers. A GUI loop
// watches Fd() (readable while work waits) and calls DispatchPending(); a headless program calls
// Pump(). Each thread has one queue, made on first use.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>

namespace platform {

class MessageQueue {
public:
    static MessageQueue& ForCurrentThread();
    ~MessageQueue();
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;

    int Fd() const;
    // Runs every handler whose message waits now; returns how many ran.
    std::size_t DispatchPending();
    // Waits up to timeout for work, then dispatches what waits; returns how many ran.
    std::size_t Pump(std::chrono::milliseconds timeout);

    class Impl;
    Impl& GetImpl() { return *m_impl; }

private:
    MessageQueue();
    std::shared_ptr<Impl> m_impl;  // shared with the endpoints it serves
};

}  // namespace platform
