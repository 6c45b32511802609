// The simulated 1394 bus: a host adapter and units (cameras and other devices) with node
// numbers, the clients connected to the units' sockets, and every driver request they send.
// Requests pend and complete in any order through the completion sink; time comes from the
// cycle clock, and Advance sends what is due.
//
// Single-threaded: one thread (the server's loop, or a test) makes every call.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "driver/Completion.h"
#include "driver/IsochService.h"
#include "driver/UnitServer.h"
#include "simbus/CycleClock.h"
#include "simbus/FaultInjector.h"
#include "simbus/Node.h"

namespace simbus {

// The daemon framework the simulated bus is served through.
using namespace driver;

class Bus : public UnitBackend {
public:
    Bus(CompletionSink& sink, const CycleClock& clock, std::uint32_t hostCaps);
    ~Bus() override;
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // Plugging or unplugging a unit resets the bus. Empty when the bus already holds 63 nodes.
    std::optional<UnitId> AddCamera(std::uint32_t speed = kSpeed400);
    // The kind of camera AddCamera plugs in from now on.
    void SetCameraKind(CameraModel::Kind kind) { m_cameraKind = kind; }
    // The colour filter of the cameras AddCamera plugs in from now on.
    void SetCameraFilter(BayerFilter filter) { m_cameraFilter = filter; }
    std::optional<UnitId> AddDevice(std::uint32_t version);
    // Unplugs the unit at index in plug order (the device number clients see).
    std::optional<UnitId> RemoveUnit(std::size_t index);
    // A pulse on the trigger input of the camera at index in plug order. False, with why, when
    // there is no such camera; true with why set when the camera ignored the pulse.
    bool Trigger(std::size_t index, std::string& why);
    // The next count frames of the camera at index in plug order are not sent: it skips their
    // periods. False, with why, when there is no such camera.
    bool LoseFrames(std::size_t index, std::uint32_t count, std::string& why);
    // Completes every pending reset wait; renumber gives the nodes other numbers. The cycle
    // timer that stamps the frames jumps by jumpSeconds (back when negative), as when another
    // node becomes cycle master.
    void Reset(bool renumber, int jumpSeconds = 0);
    // The frames the camera at index in plug order sent last, a line each: its counter, the
    // cycle time of its first packet and the CLOCK_MONOTONIC nanoseconds that cycle began.
    // False, with why, when there is no such camera.
    bool SentFrames(std::size_t index, std::string& text) const;
    // Present units in plug order.
    std::vector<UnitId> Units() const;

    ClientId Connect(UnitId unit) override;
    // The client's pending requests are dropped unanswered and all it holds is freed.
    void Disconnect(ClientId client) override;
    void Submit(const Request& request) override;
    // Answers a pending request (id 0: all of the client's) as aborted.
    void Cancel(ClientId client, std::uint32_t id) override;

    // Sends what is due by the clock's now; returns the cycle at which more is due. A call sends
    // a bounded batch, so a loaded bus may be due again at once.
    std::optional<std::uint64_t> Advance();

    FaultInjector& Faults() { return m_faults; }
    void SetHostCaps(std::uint32_t caps) { m_hostCaps = caps; }
    std::uint32_t HostCaps() const { return m_hostCaps; }
    // The receive contexts the host-information answer reports.
    void SetReceiveContexts(std::uint32_t contexts) { m_receiveContexts = contexts; }
    std::uint32_t Generation() const { return m_generation; }
    std::string Status() const;

private:
    enum class PendingKind { Handling, Isoch, ResetWait, Stall };
    struct Pending {
        PendingKind kind = PendingKind::Handling;
        std::uint32_t resource = 0;
    };
    struct Client {
        UnitId unit = 0;
        bool unitGone = false;
        std::map<std::uint32_t, Pending> pending;  // by request id
    };

    void Finish(Completion&& completion);
    void Reply(const Request& request, std::uint32_t status, std::vector<std::uint8_t> head = {});
    void Dispatch(const Request& request, Client& client);
    void HandleAsync(const Request& request, const Client& client);
    void HandleBroadcast(const Request& request);
    void HandleNodeAddress(const Request& request, const Client& client);
    void HandleMaxSpeed(const Request& request, const Client& client);
    void HandleConfigInfo(const Request& request, const Client& client);
    void HandleHostInfo(const Request& request);
    void HandleCycleTimer(const Request& request);
    void HandleBusResetRequest(const Request& request);
    void HandleHostMemory(const Request& request);
    void HandleIsoch(const Request& request, Client& client);
    // Sends the camera's due frame, cut short or left out when those faults are armed.
    void SendFrame(Node& node, IsochStream& stream, std::uint64_t now);
    void LogRefusal(const Request& request, std::uint32_t status);
    std::size_t ResetWaits() const;
    // Answers one pending request with status, wherever it waits.
    void Abandon(ClientId client, std::uint32_t id, const Pending& pending, std::uint32_t status);
    void Plug(std::unique_ptr<Node> node);
    void Renumber();
    Node* UnitNode(UnitId unit);
    Node* NodeByNumber(unsigned number);

    CompletionSink& m_sink;
    const CycleClock& m_clock;
    std::uint32_t m_hostCaps;
    std::uint32_t m_receiveContexts = 4;  // what common host adapters have
    FaultInjector m_faults;
    IsochService m_isoch;
    std::vector<std::unique_ptr<Node>> m_nodes;  // the host adapter first, then plug order
    UnitId m_nextUnit = 0;
    CameraModel::Kind m_cameraKind = CameraModel::Kind::Kx1360;
    BayerFilter m_cameraFilter = BayerFilter::None;
    std::uint32_t m_generation = 0;
    std::uint32_t m_rotation = 0;  // how far renumbering has turned the numbers
    // What the cycle timer stands ahead of the cycle clock, within its 128-second range.
    std::uint64_t m_cycleTimerOffset = 0;
    std::map<ClientId, Client> m_clients;
    ClientId m_nextClient = 1;
    std::vector<std::uint8_t> m_hostMemory;
    std::uint64_t m_requests = 0;
};

}  // namespace simbus
