// One listening resource's isochronous reception through a kernel context of its own: a file,
// a receive context with 8-byte packet headers on the resource's channel, and the kernel's
// packet buffer mapped into the daemon. Packets are queued a frame at a time (the last one
// raises the interrupt; for synchronised buffers the first one waits for the frame start), laid
// out by the resource
// straight from the mapping into its buffers (the client's shared memory, when it gave some),
// and queued again at once.
//
// A frame that lost packets (a frame start comes while a synchronised buffer is partly filled)
// or that carries a short packet before its end is dropped and counted, never delivered.
// Unsynchronised buffers take the stream as it comes, for the client to parse.
#pragma once

#include <cstdint>
#include <string>

#include "driver/IsochResource.h"
#include "fw/KernelApi.h"

namespace fw {

class FwReceiver {
public:
    FwReceiver(KernelApi& kernel, driver::IsochResource& resource);
    ~FwReceiver();
    FwReceiver(const FwReceiver&) = delete;
    FwReceiver& operator=(const FwReceiver&) = delete;

    // Opens path, makes and fills the context and starts it. False with the reason when the
    // kernel refuses (errno kept).
    bool Start(const std::string& path, std::string& error);
    int Fd() const { return m_fd.Get(); }
    // Reads the events that wait; false when the file is gone.
    bool ReadEvents();
    // The bus was reset: for a second of bus time a stamp that steps back is taken as a step
    // back (another node became cycle master), not as a wrap of the stamp's 8 seconds.
    void OnBusReset() { m_afterReset = kCyclesPerSecond; }
    std::string Describe() const;

private:
    void Queue();
    void OnInterrupt(const std::uint8_t* event, std::size_t bytes);
    // The bus cycle of a packet from its 16-bit receive stamp, counted on from the last one.
    std::uint64_t BusCycle(std::uint32_t stamp);
    void TakePacket(std::uint32_t header, std::uint64_t cycle, const std::uint8_t* payload);

    KernelApi& m_kernel;
    driver::IsochResource& m_resource;
    KernelFd m_fd;
    std::uint32_t m_context = 0;
    std::uint8_t* m_ring = nullptr;
    std::size_t m_mapBytes = 0;
    std::uint32_t m_slotBytes = 0;    // payload room of one packet
    std::uint32_t m_ringPackets = 0;  // a whole number of frames
    std::uint32_t m_framePackets = 1;
    bool m_waitForFrames = false;   // each frame's first packet waits for the frame start
    std::uint64_t m_queued = 0;     // packets handed to the kernel, ever
    std::uint64_t m_completed = 0;  // packets it gave back
    std::uint64_t m_packetsSeen = 0;
    std::uint64_t m_shortPackets = 0;
    std::uint64_t m_droppedFrames = 0;
    std::uint32_t m_lastCycle = 0;
    std::uint64_t m_busCycle = 0;  // of the last packet seen
    static constexpr std::uint32_t kCyclesPerSecond = 8000;
    std::uint32_t m_afterReset = 0;  // cycles left in which a step back is one
};

}  // namespace fw
