// One open /dev/fw* file: its event queue behind a real descriptor (the read end of a pipe that
// holds one byte exactly while events wait, so poll, select and epoll work), its mapping, its
// isochronous context and the resources it holds. The bus's lock guards all of it.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "tests/support/fakefw/IsoContext.h"

namespace fakefw {

struct FwNode;

// A channel and bandwidth held through ALLOCATE_ISO_RESOURCE.
struct IsoResource {
    std::uint64_t closure = 0;
    std::uint64_t channels = 0;  // candidates; the one allocated once it is
    std::uint32_t bandwidth = 0;
    int channel = -1;  // allocated, or -1
};

class FwFile {
public:
    // Makes the pipe; false (errno set) when the process is out of descriptors.
    bool Open(std::shared_ptr<FwNode> node, std::uint64_t id, bool nonBlocking, bool closeOnExec);
    ~FwFile();
    FwFile() = default;
    FwFile(const FwFile&) = delete;
    FwFile& operator=(const FwFile&) = delete;

    int Fd() const { return m_readEnd; }
    std::uint64_t Id() const { return m_id; }
    FwNode& Node() const { return *m_node; }
    const std::shared_ptr<FwNode>& NodePtr() const { return m_node; }

    // Queues an event; dropped once the node is gone, as the kernel drops them.
    void Post(std::vector<std::uint8_t> event);
    // The oldest event, if any.
    std::optional<std::vector<std::uint8_t>> Take();
    // The node left the bus: the descriptor reports hang-up once the queue is read.
    void Shutdown();

    // Set by GET_INFO.
    std::uint32_t version = 0;
    std::uint64_t resetClosure = 0;
    bool listening = false;  // receives bus-reset events

    std::unique_ptr<IsoContext> context;
    std::span<std::uint8_t> mapping;  // the buffer as this library sees it
    std::uintptr_t clientStart = 0;   // where the client's mapping begins
    bool Mapped() const { return !mapping.empty(); }
    // Maps a buffer of length bytes (a whole number of pages) shared with the client's view.
    void* Map(void* address, std::size_t length, int protection, int flags);

    std::map<std::uint32_t, IsoResource> resources;  // by handle
    // The lowest handle not in use, as the kernel of Debian 12 hands them out (from 0).
    std::uint32_t FreeHandle() const {
        std::uint32_t handle = 0;
        while (resources.count(handle) != 0) ++handle;
        return handle;
    }

private:
    std::shared_ptr<FwNode> m_node;
    std::uint64_t m_id = 0;
    int m_readEnd = -1;
    int m_writeEnd = -1;
    std::deque<std::vector<std::uint8_t>> m_events;
};

}  // namespace fakefw
