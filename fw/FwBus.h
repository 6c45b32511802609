// The bus as the kernel's FireWire stack shows it, behind the same requests kestrix-busd serves:
// every /dev/fw* node whose configuration ROM holds an IIDC camera becomes a unit; register
// requests become asynchronous transactions on its file; bandwidth and channels are allocated
// at the bus's resource manager through the client's own file, so that the kernel frees them
// when the client goes; each listening resource receives through an isochronous context of its
// own. The buffers, reads and shared receive memory of a resource are the simulated bus's.
//
// Single-threaded: the daemon's loop (or a test) makes every call.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "driver/Completion.h"
#include "driver/IsochService.h"
#include "driver/UnitServer.h"
#include "fw/ConfigRom.h"
#include "fw/FwReceiver.h"
#include "fw/KernelApi.h"

struct fw_cdev_event_bus_reset;

namespace fw {

using driver::ClientId;
using driver::UnitId;

class FwBus : public driver::UnitBackend {
public:
    // What the bus needs from the daemon around it.
    class Host {
    public:
        virtual ~Host() = default;
        virtual bool Publish(UnitId unit) = 0;
        virtual void Withdraw(UnitId unit) = 0;
        virtual void Watch(int fd, std::function<void()> onReadable) = 0;
        virtual void Unwatch(int fd) = 0;
        // A message for the user, whatever the log says (a file that cannot be opened).
        virtual void Tell(const std::string& message) = 0;
    };

    static constexpr int kMaxBusyRetries = 5;
    static constexpr int kMaxGenerationRetries = 3;

    FwBus(KernelApi& kernel, driver::CompletionSink& sink, Host& host, std::string devDir);
    ~FwBus() override;
    FwBus(const FwBus&) = delete;
    FwBus& operator=(const FwBus&) = delete;

    // Lists the device folder and brings the units in line with it: new cameras published,
    // vanished ones withdrawn. Call at start and whenever the folder changes.
    void Scan();

    ClientId Connect(UnitId unit) override;
    void Disconnect(ClientId client) override;
    void Submit(const driver::Request& request) override;
    void Cancel(ClientId client, std::uint32_t id) override;

    std::size_t CameraCount() const { return m_units.size(); }
    // The receive contexts the host-information answer reports.
    void SetReceiveContexts(std::uint32_t contexts) { m_receiveContexts = contexts; }
    // Files that could not be opened for want of permission; the user is told about them
    // (once) while no camera can be reached.
    const std::set<std::string>& Denied() const { return m_denied; }
    // The node files the folder held at the last scan.
    std::size_t NodeFiles() const { return m_nodes.size(); }

private:
    struct Node;
    struct Client;
    struct Transaction;
    struct Allocation;
    enum class PendingKind { Handling, Async, ResetWait, Allocate, Isoch };
    struct Pending {
        PendingKind kind = PendingKind::Handling;
        std::uint64_t key = 0;  // the transaction's closure, or the resource
    };

    // Nodes and the bus.
    void AddNode(const std::string& name);
    void RemoveNode(const std::string& name);
    // Reads the node file's events until none is left; with answerFirst, only until a response,
    // so that its answer goes out before a read that would mostly find nothing (the watch is
    // level-triggered: the loop comes back for any event left).
    void ReadNodeEvents(const std::string& name, bool answerFirst);
    void OnBusReset(const fw_cdev_event_bus_reset& reset);
    bool Refresh(Node& node);
    Node* UnitNode(UnitId unit);
    Node* NodeByNumber(unsigned number);

    // Requests.
    void Finish(driver::Completion&& completion);
    void Reply(const driver::Request& request, std::uint32_t status,
               std::vector<std::uint8_t> head = {});
    void Dispatch(const driver::Request& request, Client& client);
    void HandleNodeAddress(const driver::Request& request, const Client& client);
    void HandleMaxSpeed(const driver::Request& request, const Client& client);
    void HandleConfigInfo(const driver::Request& request, const Client& client);
    void HandleCycleTimer(const driver::Request& request, const Client& client);
    void HandleBusResetRequest(const driver::Request& request, const Client& client);
    void HandleHostInfo(const driver::Request& request);
    void Abandon(ClientId client, std::uint32_t id, const Pending& pending, std::uint32_t status);
    // Ends everything a client holds; its pending requests are answered with status (none
    // when it is 0, for a client that is gone).
    void ReleaseClient(ClientId client, Client& state, std::uint32_t status);

    // Asynchronous transactions (FwAsync.cpp).
    void HandleAsync(const driver::Request& request, const Client& client);
    void HandleBroadcast(const driver::Request& request, const Client& client);
    void SendChunk(std::uint64_t closure);
    void OnResponse(const std::uint8_t* event, std::size_t bytes);
    void FinishTransaction(std::uint64_t closure, std::uint32_t status);

    // Isochronous resources (FwIso.cpp).
    void HandleIsoch(const driver::Request& request, Client& client);
    void HandleAllocate(const driver::Request& request, Client& client);
    void HandleFree(const driver::Request& request, Client& client);
    bool HandleListen(const driver::Request& request, Client& client);
    void StopReceiver(std::uint32_t resource);
    int ClientFile(ClientId id, Client& client);
    void ReadClientEvents(ClientId id);
    void OnIsoResource(ClientId id, Client& client, const std::uint8_t* event);
    void ReadReceiverEvents(std::uint32_t resource);

    KernelApi& m_kernel;
    driver::CompletionSink& m_sink;
    Host& m_host;
    std::string m_devDir;
    driver::IsochService m_isoch;
    std::map<std::string, std::unique_ptr<Node>> m_nodes;  // by file name, cameras or not
    std::map<UnitId, std::string> m_units;                 // published cameras
    std::set<std::string> m_denied;
    std::set<std::string> m_told;  // denied files the user has been told about
    UnitId m_nextUnit = 0;
    std::uint32_t m_generation = 0;
    bool m_generationKnown = false;
    std::uint32_t m_receiveContexts = 4;
    std::map<ClientId, std::unique_ptr<Client>> m_clients;
    ClientId m_nextClient = 1;
    std::map<std::uint64_t, std::unique_ptr<Transaction>> m_transactions;  // by closure
    std::uint64_t m_nextClosure = 1;
    std::map<std::uint32_t, std::unique_ptr<FwReceiver>> m_receivers;  // by resource
    std::uint32_t m_nextAllocation = 1;
};

}  // namespace fw
