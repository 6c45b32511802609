// The fake kernel's bus: the local node and the cameras behind /dev/fw*, every open file, the
// isochronous resource manager, and (for the preloaded library) a thread that paces the
// cameras' streams and delivers delayed answers. One lock guards it all; every public call
// takes it.
#pragma once

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <linux/firewire-cdev.h>

#include "simbus/CameraModel.h"
#include "simbus/CycleClock.h"
#include "simbus/IsochStream.h"
#include "tests/support/fakefw/Config.h"
#include "tests/support/fakefw/FwFile.h"

namespace fakefw {

// -1 and errno for the bus's -errno, as a C library call answers; other results as they are.
template <typename T>
T Answer(T result) {
    if (result >= 0) return result;
    errno = int(-result);
    return T(-1);
}

// A node on the bus, as one /dev/fwN file stands for it.
struct FwNode {
    int slot = 0;     // the N of fwN
    int camera = 0;   // 1-based camera identity; 0 for the local node
    unsigned number = 0;
    std::uint32_t generation = 0;
    std::vector<std::uint32_t> rom;  // configuration ROM, host-order quadlets
    std::unique_ptr<simbus::CameraModel> model;
    simbus::IsochStream stream;
    bool gone = false;
    std::uint32_t NodeId() const { return 0xFFC0 | number; }
};

class FakeBus {
public:
    // The bus, made on first use; it lives until the process ends.
    static FakeBus& Get();
    // A bus of a test's own, on a manual clock: no thread paces it and no control socket
    // serves it; frames (and delayed answers) go out only when SendFrames moves the clock.
    explicit FakeBus(const Config& config);
    // The N of a path naming /dev/fwN (or $KESTRIX_FW_DEVDIR/fwN), else -1.
    static int SlotOf(std::string_view path);
    // Whether fd is one of the fake files; cheap, for every interposed call.
    static bool IsFake(int fd);

    // These return -errno on failure, as the kernel's handlers do.
    int Open(int slot, int flags);
    int Close(int fd);
    long Read(int fd, void* buffer, std::size_t count);
    int Ioctl(int fd, unsigned long request, void* argument);
    // MAP_FAILED with errno set on failure.
    void* Map(void* address, std::size_t length, int protection, int flags, int fd);
    // Whether the file's node has left the bus.
    bool Gone(int fd);

    // The names fwN of the nodes present, in slot order.
    std::vector<std::string> NodeNames();
    // One control command (docs/fake-kernel.md); the answer line without its newline.
    std::string Execute(std::string_view line);

    // On a manual clock: moves it on to cycle, sending nothing.
    void SetCycle(std::uint64_t cycle);
    // On a manual clock: streams the cameras were set to since the last call start now, and the
    // clock moves on until count more frames have gone out.
    void SendFrames(unsigned count);

private:
    FakeBus();  // Get's: the clock runs and a thread paces the bus
    FakeBus(const Config& config, simbus::CycleClock clock);
    // Everything below runs with m_mutex held.
    struct Timed {
        std::chrono::steady_clock::time_point due;
        enum class Kind { Response, Reset } kind = Kind::Response;
        std::uint64_t file = 0;
        std::uint64_t closure = 0;
        std::uint32_t tcode = 0;
        std::uint64_t offset = 0;
        std::uint32_t generation = 0;
        std::uint32_t length = 0;
        std::vector<std::uint8_t> payload;
        bool broadcast = false;
    };
    struct Irm {
        std::uint32_t bandwidth = 0;
        std::uint64_t channelsFree = 0;  // bit c: channel c is free
    };

    void Run();
    void Advance();
    // The cycle the next camera packet run is due in, if any camera sends.
    std::optional<std::uint64_t> NextDue() const;
    void DeliverFrame(const simbus::PacketRun& run, std::uint64_t firstCycle);
    void Reset();
    // A reset after the configured delay, on the bus's thread.
    void ScheduleReset();
    int Plug(int camera);
    bool Unplug(int camera);
    void Renumber();
    void SyncPlaceholder(int slot, bool present);
    void Note(const std::string& what);
    FwFile* FileOf(int fd);
    FwFile* FileById(std::uint64_t id);
    std::uint32_t CycleTimer() const;

    // Ioctls.cpp
    int GetInfo(FwFile& file, fw_cdev_get_info& a);
    int SendRequest(FwFile& file, fw_cdev_send_request& a, bool broadcast);
    int CreateContext(FwFile& file, fw_cdev_create_iso_context& a);
    int QueueIso(FwFile& file, fw_cdev_queue_iso& a);
    int AllocateResource(FwFile& file, fw_cdev_allocate_iso_resource& a, bool once);
    int DeallocateResource(FwFile& file, fw_cdev_allocate_iso_resource& a, bool once);
    int Dispatch(FwFile& file, unsigned nr, void* argument);

    // Transactions.cpp
    void Complete(const Timed& request);
    // One transaction on a node; its rcode, and a read's or lock's answer in out.
    std::uint32_t Transact(FwNode& node, std::uint32_t tcode, std::uint64_t offset,
                           std::span<const std::uint8_t> payload, std::vector<std::uint8_t>& out);
    std::uint32_t LocalCsr(std::uint32_t tcode, std::uint64_t offset,
                           std::span<const std::uint8_t> payload, std::vector<std::uint8_t>& out);
    // Allocates (or frees) a channel out of channels and bandwidth units; the kernel's answer:
    // channel or -errno, bandwidth or 0.
    void Manage(std::uint64_t channels, std::uint32_t units, bool allocate, int& channel,
                int& bandwidth);
    void PostResource(FwFile& file, std::uint32_t type, std::uint32_t handle,
                      std::uint64_t closure, int channel, int bandwidth);
    void ReallocateAll();

    const Config m_config;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    simbus::CycleClock m_clock;
    std::vector<std::shared_ptr<FwNode>> m_nodes;  // by slot; null where none
    std::vector<int> m_cameraSlot;                  // by camera - 1: its slot, or -1
    std::map<int, std::unique_ptr<FwFile>> m_files;  // by descriptor
    std::uint64_t m_nextFileId = 1;
    std::uint32_t m_generation = 0;
    Irm m_irm;
    unsigned m_contexts = 0;
    std::vector<Timed> m_timed;
    std::vector<bool> m_denied;  // by slot
    // Faults armed by the control socket.
    unsigned m_busy = 0, m_wrongGeneration = 0, m_lose = 0, m_short = 0;
    unsigned m_pass = 0;  // packets that go by before m_lose and m_short apply
    std::uint64_t m_requests = 0;  // asynchronous requests sent, broadcasts included
    // Bandwidth another node leaves free at the next reset, before the files re-allocate.
    std::optional<std::uint32_t> m_bandwidthAfterReset;
    // Seconds the cycle timer jumps at the next reset, and what it stands ahead of the clock
    // (within its 128-second range).
    long m_cycleJumpAtReset = 0;
    std::uint64_t m_cycleTimerOffset = 0;
    // The cycle timer's count (cycles, within 128 s) at clock cycle.
    std::uint64_t TimerCycle(std::uint64_t cycle) const;
};

}  // namespace fakefw
