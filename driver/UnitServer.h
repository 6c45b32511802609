// The device-directory side of a bus daemon: takes the directory, publishes one socket per
// unit, accepts connections, frames requests and writes answers back, all from one thread
// around epoll. What a request means is the backend's business; kestrix-busd serves a
// simulated bus through it and kestrix-fwd the kernel's.
//
// Threading: every call on one thread, but Stop, which may come from any thread or a signal
// handler.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "driver/Completion.h"
#include "driver/UnitConnection.h"
#include "platform/UniqueFd.h"

namespace driver {

using UnitId = std::uint32_t;

// What serves the requests of the unit sockets' clients.
class UnitBackend {
public:
    virtual ~UnitBackend() = default;
    virtual ClientId Connect(UnitId unit) = 0;
    // The client's pending requests are dropped unanswered and all it holds is freed.
    virtual void Disconnect(ClientId client) = 0;
    virtual void Submit(const Request& request) = 0;
    // Answers a pending request (id 0: all of the client's) as aborted.
    virtual void Cancel(ClientId client, std::uint32_t id) = 0;
};

// A listening socket bound at path; invalid (errno set) when it cannot be made.
platform::UniqueFd ListenAt(const std::filesystem::path& path);

class UnitServer : public CompletionSink {
public:
    using Handler = std::function<void(std::uint32_t events)>;

    UnitServer();
    ~UnitServer() override;
    UnitServer(const UnitServer&) = delete;
    UnitServer& operator=(const UnitServer&) = delete;

    // Takes the directory for daemon (refused while another daemon holds it) and leaves it
    // clean of what a daemon that died left behind. False with a message when it cannot.
    bool Open(const std::filesystem::path& dir, std::string_view daemon, std::string& error);
    // For a start that failed after Open: lets the directory go and removes the folders Open
    // made for it, innermost first, as long as they are empty.
    void Abandon();
    void SetBackend(UnitBackend* backend) { m_backend = backend; }

    // Bound and listening before the socket appears, so that nobody who sees it is refused.
    bool Publish(UnitId unit, std::string& error);
    // The socket goes at once; connections to the unit stay until the backend ends them.
    void Withdraw(UnitId unit);
    std::filesystem::path UnitPath(UnitId unit) const;

    // Watches a descriptor of the daemon's own; handler runs on the loop's thread.
    void Watch(int fd, std::uint32_t events, Handler handler);
    void Unwatch(int fd);

    // Serves until Stop, calling beforeWait each turn of the loop; then removes everything
    // it published.
    void Run(const std::function<void()>& beforeWait = {});
    // Async-signal-safe.
    void Stop();
    // Ends a client's connection, as if it had closed it.
    void CloseConnection(ClientId client);

    void Complete(Completion&& completion) override;

    // Accepts on a listener that may find the process out of descriptors; a control client is
    // still served then, a unit client turned away.
    platform::UniqueFd AcceptOn(int listener, bool forControl);
    // "daemon: resident ... KiB, connections ..." with extraControl control connections.
    std::string DaemonStatus(std::size_t extraControl);

private:
    // A private sub-folder that programs listing units never see, where units are staged.
    std::filesystem::path StagingDir() const;
    void Add(int fd, std::uint64_t key, std::uint32_t events);
    void HandleEvent(std::uint64_t key, std::uint32_t events);
    void Accept(UnitId unit);
    void ServeConnection(ClientId client, std::uint32_t events);
    void HandleFrame(ClientId client, const platform::FrameHeader& header,
                     std::span<const std::uint8_t> payload, int passedFd);
    void PauseUnitListeners(bool pause);
    // Now and then: drops connections stuck over their bounds, takes the spare descriptor
    // back, listens again where a lack of descriptors paused it.
    void Housekeep();
    void FlushConnections();
    void Unpublish();
    // Whether a connection now would need the spare descriptor (or find none).
    bool ShortOfDescriptors();

    std::filesystem::path m_dir;
    UnitBackend* m_backend = nullptr;
    std::string m_lockName;
    platform::UniqueFd m_lock;
    platform::UniqueFd m_epoll;
    platform::UniqueFd m_stop;
    platform::UniqueFd m_housekeeping;  // a timer: the loop wakes for housekeeping
    std::map<UnitId, platform::UniqueFd> m_unitListeners;
    std::map<ClientId, std::unique_ptr<UnitConnection>> m_connections;
    std::map<int, Handler> m_watched;  // the daemon's own descriptors
    std::set<ClientId> m_dirty;        // connections with answers to write
    bool m_published = false;
    std::vector<std::filesystem::path> m_madeFolders;  // outermost first
    // Held open so that, out of descriptors, a connection can still be accepted.
    platform::UniqueFd m_spare;
    bool m_unitListenersPaused = false;
    UnitConnection::Clock::time_point m_lastHousekeeping{};
};

}  // namespace driver
