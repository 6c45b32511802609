// The endpoints this process publishes, and the I/O thread that serves their sockets: it
// accepts connections, reads the one request each carries and queues it for the endpoint's
// owner thread; a Send hands its connection over with it for the reply. A connection that is
// malformed, or incomplete for too long, is closed alone; the endpoint goes on serving.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/EndpointProtocol.h"
#include "platform/MessageEndpoint.h"
#include "platform/PollFlag.h"
#include "platform/UniqueFd.h"
#include "platform/UnixSocket.h"

namespace platform {

class EndpointRouter {
public:
    using EndpointPtr = std::shared_ptr<const MessageEndpoint::Impl>;

    static EndpointRouter& Instance();
    ~EndpointRouter();
    EndpointRouter(const EndpointRouter&) = delete;
    EndpointRouter& operator=(const EndpointRouter&) = delete;

    // Starts serving the endpoint's listening socket; false when the I/O thread cannot run.
    bool Add(EndpointPtr endpoint, UniqueFd listener);
    void Remove(EndpointHandle handle);
    EndpointPtr Find(EndpointHandle handle) const;

private:
    struct Published {
        EndpointPtr endpoint;
        UniqueFd listener;
    };
    struct Incoming {
        EndpointPtr endpoint;
        UniqueFd connection;
        RequestFrame frame{};
        std::size_t filled = 0;
        Deadline giveUp;
    };

    EndpointRouter() = default;
    void Run();
    // Fills fds with the wake flag and the listeners; false once stopping.
    bool Snapshot(std::vector<pollfd>& fds, std::vector<EndpointPtr>& listening);
    static bool ReadRequest(Incoming& incoming);  // true when done with the connection
    static void Deliver(Incoming& incoming);
    void AcceptFrom(const pollfd& listener, const EndpointPtr& endpoint);

    PollFlag m_wake;
    mutable std::mutex m_mutex;  // guards m_published, m_retired, m_stopping and m_thread
    std::map<EndpointHandle, Published> m_published;
    std::vector<UniqueFd> m_retired;  // listeners to close between two polls
    bool m_stopping = false;
    std::thread m_thread;
    // I/O thread only:
    std::vector<Incoming> m_incoming;  // in accept order
    Deadline m_acceptRestUntil{};
};

}  // namespace platform
