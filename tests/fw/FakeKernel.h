// A small stand-in for the kernel's FireWire files behind fw::KernelApi, for driving the bridge
// in process: fw0 is the controller's node, fw1.. simulated cameras (their registers and ROM
// are simbus's camera model). Each open file is an eventfd, readable while events wait, so the
// bridge's loop sees it as it would a kernel file. Isochronous packets are delivered only when
// a test sends a frame.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fw/KernelApi.h"
#include "simbus/Node.h"

namespace fwtest {

class FakeKernel : public fw::KernelApi {
public:
    static constexpr const char* kDir = "/fake/dev";

    explicit FakeKernel(unsigned cameras);
    ~FakeKernel() override;

    int Open(const std::string& path) override;
    int Ioctl(int fd, unsigned long request, void* argument) override;
    ssize_t Read(int fd, void* buffer, std::size_t bytes) override;
    void* Map(int fd, std::size_t bytes) override;
    void Unmap(void* address, std::size_t bytes) override;
    void Close(int fd) override;
    std::vector<std::string> List(const std::string& dir) override;

    // A bus reset: new generation, and with renumber the cameras' node numbers shift by one.
    void Reset(bool renumber = false);
    void Unplug(unsigned node);
    void Deny(unsigned node) { m_nodes.at(node).denied = true; }
    // The next count transactions are answered busy.
    void SetBusy(int count) { m_busy = count; }
    // Sends a frame on channel in packets of bytesPerPacket (the first with SY 1); the packet
    // at lose is not sent, the one at shorten arrives with half its bytes.
    void SendFrame(unsigned channel, const std::vector<std::uint8_t>& frame,
                   std::uint32_t bytesPerPacket, int lose = -1, int shorten = -1);

    // The bus cycle of the next packet sent; each packet's receive stamp holds it modulo 8 s.
    void SetCycle(std::uint64_t cycle) { m_cycle = cycle; }

    int Transactions() const { return m_transactions; }
    int Broadcasts() const { return m_broadcasts; }
    std::uint32_t BandwidthUsed() const { return m_bandwidth; }
    std::size_t OpenFiles() const { return m_files.size(); }
    std::size_t Contexts() const;
    std::uint32_t NodeId(unsigned node) const { return m_nodes.at(node).id; }

private:
    struct FakeNode {
        std::unique_ptr<simbus::Node> camera;  // null for the controller's node
        std::vector<std::uint8_t> rom;          // quadlets in host order
        std::uint32_t id = 0;
        bool present = true;
        bool denied = false;
    };
    struct Packet {
        std::uint32_t control;
        std::uint8_t* data;
    };
    struct File {
        unsigned node = 0;
        std::deque<std::vector<std::uint8_t>> events;
        bool context = false;
        unsigned channel = 0;
        bool started = false;
        std::uint8_t* map = nullptr;
        std::deque<Packet> queued;
        std::vector<std::uint8_t> headers;  // since the last interrupt
        std::map<std::uint32_t, std::uint32_t> bandwidth;  // by handle
    };

    void Post(int fd, std::vector<std::uint8_t> event);
    std::vector<std::uint8_t> ResetEvent(unsigned node) const;
    int SendRequest(int fd, File& file, const void* argument);
    int Broadcast(const void* argument);
    int Allocate(int fd, File& file, void* argument);

    std::vector<FakeNode> m_nodes;
    std::map<int, File> m_files;  // by eventfd
    std::uint32_t m_generation = 1;
    int m_busy = 0;
    int m_transactions = 0;
    int m_broadcasts = 0;
    std::uint32_t m_bandwidth = 0;
    std::uint64_t m_cycle = 0;
    std::uint32_t m_nextHandle = 1;
};

}  // namespace fwtest
