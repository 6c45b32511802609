// The unit server and the device folder's watch around the kernel's bus.
#include "fw/FwServer.h"

#include <sys/epoll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Log.h"

namespace fw {

FwServer::FwServer(KernelApi& kernel, Teller tell) : m_kernel(kernel), m_tell(std::move(tell)) {}

FwServer::~FwServer() {
    // The bus goes before the server whose descriptors it watches.
    m_server.SetBackend(nullptr);
    m_bus.reset();
}

bool FwServer::Start(const Options& options, std::string& error) {
    if (Serve(options, error)) return true;
    m_server.Abandon();
    return false;
}

bool FwServer::Serve(const Options& options, std::string& error) {
    if (!m_server.Open(options.dir, "kestrix-fwd", error)) return false;
    m_bus = std::make_unique<FwBus>(m_kernel, m_server, *this, options.devDir);
    m_bus->SetReceiveContexts(options.receiveContexts);
    m_server.SetBackend(m_bus.get());
    m_inotify.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    // Nodes appear after a bus reset, and get their owner and mode a moment later.
    if (!m_inotify ||
        ::inotify_add_watch(m_inotify.Get(), options.devDir.c_str(),
                            IN_CREATE | IN_DELETE | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO) < 0) {
        error = "cannot watch " + options.devDir + ": " + std::strerror(errno);
        return false;
    }
    m_server.Watch(m_inotify.Get(), EPOLLIN, [this](std::uint32_t) { OnFolderChange(); });
    m_bus->Scan();
    return true;
}

void FwServer::Run() { m_server.Run(); }

void FwServer::OnFolderChange() {
    alignas(inotify_event) char events[4096];
    while (::read(m_inotify.Get(), events, sizeof events) > 0) {
    }
    m_bus->Scan();
}

bool FwServer::Publish(UnitId unit) {
    std::string error;
    if (m_server.Publish(unit, error)) return true;
    m_tell(error);
    return false;
}

void FwServer::Withdraw(UnitId unit) { m_server.Withdraw(unit); }

void FwServer::Watch(int fd, std::function<void()> onReadable) {
    m_server.Watch(fd, EPOLLIN, [onReadable = std::move(onReadable)](std::uint32_t) { onReadable(); });
}

void FwServer::Unwatch(int fd) { m_server.Unwatch(fd); }

}  // namespace fw
