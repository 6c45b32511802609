// The bus's life: nodes, files, bus resets, plugging, and the thread that paces the streams.
#include "tests/support/fakefw/FakeBus.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "driver/PacketRun.h"
#include "platform/CycleTimerReading.h"
#include "simbus/ConfigRomImage.h"
#include "tests/support/FakeFwControl.h"
#include "tests/support/fakefw/ControlServer.h"
#include "tests/support/fakefw/RealLibc.h"

namespace fakefw {
namespace {

constexpr std::size_t kMaxFds = 1 << 16;
constexpr int kMaxSlots = 64;
constexpr std::uint64_t kConfigRom = 0xFFFF'F000'0400;
constexpr std::uint32_t kBandwidthInitial = 4915;
constexpr unsigned kBroadcastChannel = 31;
constexpr auto kIdleWake = std::chrono::milliseconds(20);

// Which descriptors are fake files: read on every interposed call, so no lock.
std::array<std::atomic<bool>, kMaxFds> g_fake{};

// The local node's ROM: a bus information block (irmc, cmc, isc; max_rec 2048; S400) and a
// root directory with node capabilities only, each behind its length and CRC.
std::vector<std::uint32_t> LocalRom() {
    std::vector<std::uint32_t> rom{0,           0x3133'3934, 0xE000'A002, 0x02C0'DE00,
                                   0x0000'F000, 0,           0x0C00'83C0};
    rom[0] = 0x0404'0000 | simbus::ConfigRomImage::Crc16(std::span(rom).subspan(1, 4));
    rom[5] = 0x0001'0000 | simbus::ConfigRomImage::Crc16(std::span(rom).subspan(6, 1));
    return rom;
}

std::vector<std::uint32_t> CameraRom(const simbus::CameraModel& model) {
    std::vector<std::uint32_t> rom;
    std::uint32_t value = 0;
    while (rom.size() < 256 &&
           model.Read(kConfigRom + 4 * rom.size(), value) == simbus::CameraModel::Access::Ok)
        rom.push_back(value);
    return rom;
}

bool MatchesNode(std::string_view path, std::string_view dir, int& slot) {
    if (dir.empty() || path.size() <= dir.size() + 3 || path.substr(0, dir.size()) != dir ||
        path.substr(dir.size(), 3) != "/fw")
        return false;
    const std::string_view digits = path.substr(dir.size() + 3);
    if (digits.size() > 2 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    slot = std::atoi(std::string(digits).c_str());
    return true;
}

}  // namespace

FakeBus& FakeBus::Get() {
    // Never destroyed: its thread serves until the process ends.
    static FakeBus* const bus = new FakeBus();
    return *bus;
}

int FakeBus::SlotOf(std::string_view path) {
    int slot = -1;
    if (MatchesNode(path, "/dev", slot) || MatchesNode(path, Config::Get().devDir, slot))
        return slot;
    return -1;
}

bool FakeBus::IsFake(int fd) {
    return fd >= 0 && std::size_t(fd) < kMaxFds && g_fake[fd].load(std::memory_order_acquire);
}

FakeBus::FakeBus(const Config& config, simbus::CycleClock clock)
    : m_config(config),
      m_clock(clock),
      m_nodes(1),
      m_cameraSlot(m_config.cameras, -1),
      m_denied(kMaxSlots, false) {
    auto local = std::make_shared<FwNode>();
    local->rom = LocalRom();
    m_nodes[0] = std::move(local);
    for (unsigned camera = 1; camera <= m_config.cameras; ++camera) Plug(int(camera));
    SyncPlaceholder(0, true);
    Reset();
}

FakeBus::FakeBus(const Config& config) : FakeBus(config, simbus::CycleClock::Manual()) {}

FakeBus::FakeBus() : FakeBus(Config::Get(), simbus::CycleClock(Config::Get().rateScale)) {
    std::atexit([] {
        FakeBus& bus = Get();
        std::lock_guard lock(bus.m_mutex);
        for (const auto& node : bus.m_nodes)
            if (node) bus.SyncPlaceholder(node->slot, false);
    });
    std::thread pacer([this] { Run(); });
    ::pthread_setname_np(pacer.native_handle(), kBusThreadName);
    pacer.detach();
    if (!m_config.controlPath.empty()) StartControlServer(*this, m_config.controlPath);
}

void FakeBus::Note(const std::string& what) {
    if (m_config.log) std::fprintf(stderr, "libkestrix_fakefw: %s\n", what.c_str());
}

void FakeBus::SyncPlaceholder(int slot, bool present) {
    if (m_config.devDir.empty()) return;
    const std::string path = m_config.devDir + "/fw" + std::to_string(slot);
    if (!present) {
        ::unlink(path.c_str());
        return;
    }
    const int fd = real::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd >= 0) real::close(fd);
}

int FakeBus::Plug(int camera) {
    int slot = 1;
    while (slot < int(m_nodes.size()) && m_nodes[slot]) ++slot;
    if (slot >= kMaxSlots) return -1;
    if (slot >= int(m_nodes.size())) m_nodes.resize(slot + 1);
    auto node = std::make_shared<FwNode>();
    node->slot = slot;
    node->camera = camera;
    node->model = std::make_unique<simbus::CameraModel>(0x0001'0000 + camera - 1, m_config.model);
    node->rom = CameraRom(*node->model);
    m_nodes[slot] = std::move(node);
    m_cameraSlot[camera - 1] = slot;
    SyncPlaceholder(slot, true);
    return slot;
}

bool FakeBus::Unplug(int camera) {
    const int slot = m_cameraSlot[camera - 1];
    if (slot < 0) return false;
    m_nodes[slot]->gone = true;
    for (auto& [fd, file] : m_files)
        if (file->NodePtr() == m_nodes[slot]) file->Shutdown();
    m_nodes[slot].reset();
    m_cameraSlot[camera - 1] = -1;
    SyncPlaceholder(slot, false);
    return true;
}

void FakeBus::Renumber() {
    unsigned number = 0;
    for (auto& node : m_nodes)
        if (node && node->camera != 0) node->number = number++;
    m_nodes[0]->number = number;  // the local node is root and resource manager
}

void FakeBus::Reset() {
    ++m_generation;
    Renumber();
    for (auto& node : m_nodes)
        if (node) node->generation = m_generation;
    m_irm.bandwidth = m_bandwidthAfterReset.value_or(kBandwidthInitial);
    m_bandwidthAfterReset.reset();
    constexpr long kTimerRange = 128 * 8000;
    m_cycleTimerOffset = std::uint64_t(
        (long(m_cycleTimerOffset) + m_cycleJumpAtReset * 8000 % kTimerRange + kTimerRange) %
        kTimerRange);
    m_cycleJumpAtReset = 0;
    m_irm.channelsFree = ~(std::uint64_t{1} << kBroadcastChannel);
    for (auto& [fd, file] : m_files) {
        if (!file->listening || file->Node().gone) continue;
        fw_cdev_event_bus_reset event{};
        event.closure = file->resetClosure;
        event.type = FW_CDEV_EVENT_BUS_RESET;
        event.node_id = file->Node().NodeId();
        event.local_node_id = event.bm_node_id = event.irm_node_id = event.root_node_id =
            m_nodes[0]->NodeId();
        event.generation = m_generation;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&event);
        file->Post({bytes, bytes + sizeof event});
    }
    ReallocateAll();
    Note("bus reset, generation " + std::to_string(m_generation));
}

void FakeBus::ScheduleReset() {
    Timed reset;
    reset.due = std::chrono::steady_clock::now() + std::chrono::microseconds(m_config.resetDelayUs);
    reset.kind = Timed::Kind::Reset;
    m_timed.push_back(std::move(reset));
    m_wake.notify_all();
}

FwFile* FakeBus::FileOf(int fd) {
    const auto it = m_files.find(fd);
    return it == m_files.end() ? nullptr : it->second.get();
}

FwFile* FakeBus::FileById(std::uint64_t id) {
    for (auto& [fd, file] : m_files)
        if (file->Id() == id) return file.get();
    return nullptr;
}

int FakeBus::Open(int slot, int flags) {
    std::lock_guard lock(m_mutex);
    if (slot < 0 || slot >= int(m_nodes.size()) || !m_nodes[slot]) return -ENOENT;
    if (m_denied[slot]) return -EACCES;
    auto file = std::make_unique<FwFile>();
    if (!file->Open(m_nodes[slot], m_nextFileId++, flags & O_NONBLOCK, flags & O_CLOEXEC))
        return -errno;
    const int fd = file->Fd();
    if (std::size_t(fd) >= kMaxFds) {
        real::close(fd);
        return -EMFILE;
    }
    g_fake[fd].store(true, std::memory_order_release);
    m_files.emplace(fd, std::move(file));
    return fd;
}

int FakeBus::Close(int fd) {
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_files.find(fd);
        if (it != m_files.end()) {
            FwFile& file = *it->second;
            if (file.context) --m_contexts;
            int channel = 0, bandwidth = 0;
            for (const auto& [handle, resource] : file.resources)
                Manage(resource.channels, resource.bandwidth, false, channel, bandwidth);
            m_files.erase(it);
        }
        g_fake[fd].store(false, std::memory_order_release);
    }
    return real::close(fd);
}

long FakeBus::Read(int fd, void* buffer, std::size_t count) {
    for (;;) {
        {
            std::lock_guard lock(m_mutex);
            FwFile* file = FileOf(fd);
            if (file == nullptr) return -EBADF;
            if (auto event = file->Take()) {
                const std::size_t n = std::min(count, event->size());
                std::memcpy(buffer, event->data(), n);
                return long(n);
            }
            if (file->Node().gone) return -ENODEV;
            if (::fcntl(fd, F_GETFL) & O_NONBLOCK) return -EAGAIN;
        }
        pollfd wait{fd, POLLIN, 0};
        if (real::poll(&wait, 1, -1) < 0 && errno == EINTR) return -EINTR;
    }
}

void* FakeBus::Map(void* address, std::size_t length, int protection, int flags, int fd) {
    std::lock_guard lock(m_mutex);
    FwFile* file = FileOf(fd);
    const long page = ::sysconf(_SC_PAGESIZE);
    int error = 0;
    if (file == nullptr)
        error = EBADF;
    else if (file->Node().gone)
        error = ENODEV;
    else if (file->Mapped())
        error = EBUSY;
    else if ((flags & MAP_SHARED) == 0 || length == 0)
        error = EINVAL;
    if (error != 0) {
        errno = error;
        return MAP_FAILED;
    }
    length = (length + page - 1) / page * page;
    return file->Map(address, length, protection, flags);
}

bool FakeBus::Gone(int fd) {
    std::lock_guard lock(m_mutex);
    const FwFile* file = FileOf(fd);
    return file != nullptr && file->Node().gone;
}

std::vector<std::string> FakeBus::NodeNames() {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> names;
    for (const auto& node : m_nodes)
        if (node) names.push_back("fw" + std::to_string(node->slot));
    return names;
}

std::uint64_t FakeBus::TimerCycle(std::uint64_t cycle) const {
    return (cycle + m_cycleTimerOffset) % (128 * 8000);
}

std::uint32_t FakeBus::CycleTimer() const {
    const std::uint64_t ticks = m_clock.TicksAt(std::chrono::steady_clock::now());
    const std::uint64_t cycle = TimerCycle(ticks / platform::kTicksPerCycle);
    return platform::CycleTimerOf(cycle * platform::kTicksPerCycle +
                                  ticks % platform::kTicksPerCycle);
}

void FakeBus::Run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        Advance();
        auto wake = std::chrono::steady_clock::now() + kIdleWake;
        if (const auto due = NextDue()) wake = std::min(wake, m_clock.TimeOf(*due));
        for (const Timed& timed : m_timed) wake = std::min(wake, timed.due);
        m_wake.wait_until(lock, wake);
    }
}

std::optional<std::uint64_t> FakeBus::NextDue() const {
    std::optional<std::uint64_t> next;
    for (const auto& node : m_nodes) {
        const auto due = node && node->camera != 0 ? node->stream.DueAt() : std::nullopt;
        if (due) next = std::min(next.value_or(*due), *due);
    }
    return next;
}

void FakeBus::SetCycle(std::uint64_t cycle) {
    std::lock_guard lock(m_mutex);
    m_clock.Set(cycle);
}

void FakeBus::SendFrames(unsigned count) {
    std::lock_guard lock(m_mutex);
    Advance();
    for (unsigned sent = 0; sent < count; ++sent) {
        const std::optional<std::uint64_t> next = NextDue();
        if (!next) return;
        m_clock.Set(*next);
        Advance();
    }
}

void FakeBus::Advance() {
    const std::uint64_t now = m_clock.Now();
    for (const auto& node : m_nodes) {
        if (!node || node->camera == 0) continue;
        node->stream.Follow(node->model->Stream(), now);
        while (const auto due = node->stream.DueAt()) {
            if (*due > now) break;
            const simbus::PacketRun run = node->stream.SendFrame(*node->model, now);
            DeliverFrame(run, *due - run.PacketCount());
            node->stream.Follow(node->model->Stream(), now);
        }
    }
    const auto wall = std::chrono::steady_clock::now();
    std::vector<Timed> due;
    std::erase_if(m_timed, [&](Timed& timed) {
        if (timed.due > wall) return false;
        due.push_back(std::move(timed));
        return true;
    });
    for (const Timed& timed : due) {
        if (timed.kind == Timed::Kind::Reset)
            Reset();
        else
            Complete(timed);
    }
}

void FakeBus::DeliverFrame(const simbus::PacketRun& run, std::uint64_t firstCycle) {
    std::vector<std::pair<FwFile*, IsoContext::Post>> listeners;
    for (auto& [fd, file] : m_files) {
        if (file->context && file->context->Running() && !file->Node().gone &&
            file->context->Channel() == run.channel) {
            FwFile* target = file.get();
            listeners.emplace_back(target, [target](std::vector<std::uint8_t> event) {
                target->Post(std::move(event));
            });
        }
    }
    for (std::size_t k = 0; k < run.PacketCount(); ++k) {
        std::uint32_t header = run.HeaderOf(k);
        std::span<const std::uint8_t> payload = run.Packet(k);
        if (m_pass > 0) {
            --m_pass;
        } else if (m_lose > 0) {
            --m_lose;
            Note("lost packet " + std::to_string(k) + " of a frame");
            continue;
        } else if (m_short > 0) {
            --m_short;
            payload = payload.first(payload.size() / 2 / 4 * 4);
            header = std::uint32_t(payload.size()) << 16 | (header & 0xFFFF);
            Note("short packet " + std::to_string(k) + " of a frame");
        }
        const std::uint64_t cycle = TimerCycle(firstCycle + k);
        const auto stamp = std::uint16_t((cycle / 8000 % 8) << 13 | cycle % 8000);
        for (auto& [file, post] : listeners)
            file->context->Receive(header, stamp, payload, file->mapping, post);
    }
}

}  // namespace fakefw
