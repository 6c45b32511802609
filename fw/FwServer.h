// kestrix-fwd's server: the kernel's bus (FwBus) behind the unit sockets of the device
// directory, with the kernel's device folder watched for nodes that come and go.
//
// Threading: Start and Run on one thread; Stop from any thread or a signal handler.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "driver/UnitServer.h"
#include "fw/FwBus.h"
#include "fw/KernelApi.h"
#include "platform/UniqueFd.h"

namespace fw {

class FwServer : public FwBus::Host {
public:
    struct Options {
        std::string dir;              // the device directory served
        std::string devDir = "/dev";  // where the kernel's fw* files are
        // The controller's isochronous receive contexts, which the kernel does not tell.
        std::uint32_t receiveContexts = 4;
    };
    using Teller = std::function<void(const std::string&)>;

    // tell receives the messages for the user.
    FwServer(KernelApi& kernel, Teller tell);
    ~FwServer() override;

    bool Start(const Options& options, std::string& error);
    void Run();
    void Stop() { m_server.Stop(); }

    const FwBus& Bus() const { return *m_bus; }

    // The bus's view of the server.
    bool Publish(UnitId unit) override;
    void Withdraw(UnitId unit) override;
    void Watch(int fd, std::function<void()> onReadable) override;
    void Unwatch(int fd) override;
    void Tell(const std::string& message) override { m_tell(message); }

private:
    bool Serve(const Options& options, std::string& error);
    void OnFolderChange();

    KernelApi& m_kernel;
    Teller m_tell;
    driver::UnitServer m_server;
    std::unique_ptr<FwBus> m_bus;
    platform::UniqueFd m_inotify;
};

}  // namespace fw
