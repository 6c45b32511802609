// The window-handle stand-in: an endpoint with a 32-bit handle unique on the machine, owned by
// the thread that created it. Post queues a message; Send runs the handler on the owner thread
// and returns its result (a direct call when the sender is the owner thread). Any thread of any
// process of the same user can Send or Post. Sending to an endpoint that is gone fails at once;
// a Send whose owner does not answer in time fails too, so a sender never hangs.
//
// The owner thread dispatches through its MessageQueue. While a thread waits in Send it still
// handles messages sent to its own endpoints, so two owners sending to each other do not block.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace platform {

using EndpointHandle = std::uint32_t;  // 0 is never a valid handle

struct Message {
    std::uint32_t msg = 0;
    std::uint64_t wParam = 0;
    std::int64_t lParam = 0;
};

class MessageEndpoint {
public:
    using Handler = std::function<std::int64_t(const Message&)>;
    static constexpr std::chrono::milliseconds kDefaultSendTimeout{5000};

    // Publishes a new endpoint owned by the calling thread; empty on failure.
    static std::unique_ptr<MessageEndpoint> Create(Handler handler);
    ~MessageEndpoint();  // unpublishes: later Sends and Posts to the handle fail
    MessageEndpoint(const MessageEndpoint&) = delete;
    MessageEndpoint& operator=(const MessageEndpoint&) = delete;

    EndpointHandle Handle() const;

    static bool Post(EndpointHandle to, const Message& message);
    // The handler's result, or empty when the endpoint is gone or did not answer in time.
    static std::optional<std::int64_t> Send(
        EndpointHandle to, const Message& message,
        std::chrono::milliseconds timeout = kDefaultSendTimeout);
    // True while an endpoint with this handle is published and its owner process lives.
    static bool Exists(EndpointHandle handle);

    class Impl;

private:
    explicit MessageEndpoint(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> m_impl;  // shared with messages in flight to it
};

}  // namespace platform
