// The shared bus block: layout and locked access.
#include "bus/SharedBusBlock.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/ByteOrder.h"

namespace bus {

namespace {

// Windows of processes that died are never reachable again.
void DropGone(std::vector<platform::EndpointHandle>& windows) {
    std::erase_if(windows,
                  [](platform::EndpointHandle w) { return !platform::MessageEndpoint::Exists(w); });
}

}  // namespace

std::unique_ptr<SharedBusBlock> SharedBusBlock::Open() {
    auto memory = platform::SharedMemory::Open(kName, kSize);
    if (!memory || memory->Data().size() < kSize) return nullptr;
    return std::unique_ptr<SharedBusBlock>(new SharedBusBlock(std::move(memory)));
}

SharedBusBlock::SharedBusBlock(std::unique_ptr<platform::SharedMemory> memory)
    : m_memory(std::move(memory)) {}

std::uint8_t* SharedBusBlock::Bytes() const {
    return reinterpret_cast<std::uint8_t*>(m_memory->Data().data());
}

std::uint32_t SharedBusBlock::Load(std::size_t offset) const {
    return platform::LoadLE32(Bytes() + offset);
}

void SharedBusBlock::Store(std::size_t offset, std::uint32_t value) {
    platform::StoreLE32(Bytes() + offset, value);
}

std::uint32_t SharedBusBlock::WordAt(std::size_t offset) {
    std::scoped_lock lock(*m_memory);
    return Load(offset);
}

platform::EndpointHandle SharedBusBlock::Master() { return WordAt(kMasterOffset); }

bool SharedBusBlock::ClaimMaster(platform::EndpointHandle window) {
    std::scoped_lock lock(*m_memory);
    const platform::EndpointHandle master = Load(kMasterOffset);
    if (master == window) return true;
    if (master != 0 && platform::MessageEndpoint::Exists(master)) return false;
    Store(kMasterOffset, window);
    return true;
}

void SharedBusBlock::ReleaseMaster(platform::EndpointHandle window) {
    std::scoped_lock lock(*m_memory);
    if (Load(kMasterOffset) == window) Store(kMasterOffset, 0);
}

std::uint32_t SharedBusBlock::AddOpenCount(int delta) {
    std::scoped_lock lock(*m_memory);
    const std::uint32_t count = Load(kOpenCountOffset);
    // A process that died while open leaves its count behind; never wrap below 0.
    const std::uint32_t next =
        delta < 0 && count < std::uint32_t(-delta) ? 0 : count + std::uint32_t(delta);
    Store(kOpenCountOffset, next);
    return next;
}

std::uint32_t SharedBusBlock::PlatformId() { return WordAt(kPlatformIdOffset); }

void SharedBusBlock::SetPlatformId(std::uint32_t id) {
    std::scoped_lock lock(*m_memory);
    Store(kPlatformIdOffset, id);
}

std::uint32_t SharedBusBlock::SetDevices(const std::vector<std::string>& paths) {
    std::scoped_lock lock(*m_memory);
    std::uint8_t* table = Bytes() + kDeviceTableOffset;
    std::memset(table, 0, kMaxDevices * kPathSlotBytes);
    std::uint32_t count = 0;
    for (const std::string& path : paths) {
        if (count == kMaxDevices) break;
        if (path.empty() || path.size() >= kPathSlotBytes) continue;
        std::memcpy(table + count * kPathSlotBytes, path.data(), path.size());
        ++count;
    }
    Store(kDeviceCountOffset, count);
    return count;
}

std::uint32_t SharedBusBlock::GetDevices(PathTable& table) {
    std::scoped_lock lock(*m_memory);
    const std::uint8_t* source = Bytes() + kDeviceTableOffset;
    for (auto& slot : table) {
        std::memcpy(slot.data(), source, kPathSlotBytes);
        slot.back() = '\0';  // a peer's bad write must not make a path run past its slot
        source += kPathSlotBytes;
    }
    return std::min<std::uint32_t>(Load(kDeviceCountOffset), kMaxDevices);
}

std::string SharedBusBlock::FirstDevice() {
    PathTable table;
    return GetDevices(table) > 0 ? std::string(table[0].data()) : std::string();
}

std::vector<platform::EndpointHandle> SharedBusBlock::WindowsLocked() const {
    std::vector<platform::EndpointHandle> windows;
    for (std::size_t i = 0; i < kMaxWindows; ++i) {
        const platform::EndpointHandle window = Load(kWindowTableOffset + 4 * i);
        if (window == 0) break;
        windows.push_back(window);
    }
    return windows;
}

void SharedBusBlock::StoreWindowsLocked(const std::vector<platform::EndpointHandle>& windows) {
    for (std::size_t i = 0; i < kMaxWindows; ++i) {
        Store(kWindowTableOffset + 4 * i, i < windows.size() ? windows[i] : 0);
    }
}

std::vector<platform::EndpointHandle> SharedBusBlock::Windows() {
    std::scoped_lock lock(*m_memory);
    return WindowsLocked();
}

bool SharedBusBlock::AddWindow(platform::EndpointHandle window) {
    if (window == 0) return false;
    std::scoped_lock lock(*m_memory);
    std::vector<platform::EndpointHandle> windows = WindowsLocked();
    DropGone(windows);
    if (windows.size() == kMaxWindows) {
        StoreWindowsLocked(windows);
        return false;
    }
    windows.push_back(window);
    StoreWindowsLocked(windows);
    return true;
}

void SharedBusBlock::RemoveWindow(platform::EndpointHandle window) {
    std::scoped_lock lock(*m_memory);
    std::vector<platform::EndpointHandle> windows = WindowsLocked();
    std::erase(windows, window);
    StoreWindowsLocked(windows);
}

void SharedBusBlock::SendToWindows(std::uint32_t msg) {
    ForEachWindow(
        [msg](platform::EndpointHandle window) {
            return platform::MessageEndpoint::Send(window, {msg, 0, 0}).has_value();
        },
        [] { return false; });
}

void SharedBusBlock::PostToWindows(std::uint32_t msg, const std::function<bool()>& stopRequested) {
    ForEachWindow(
        [msg](platform::EndpointHandle window) {
            return platform::MessageEndpoint::Post(window, {msg, 0, 0});
        },
        stopRequested);
}

void SharedBusBlock::ForEachWindow(const std::function<bool(platform::EndpointHandle)>& deliver,
                                   const std::function<bool()>& stop) {
    // A window that could not be reached and whose endpoint is gone belongs to a dead process;
    // one that is only slow to answer stays.
    bool anyGone = false;
    for (platform::EndpointHandle window : Windows()) {
        if (stop()) break;
        if (!deliver(window) && !platform::MessageEndpoint::Exists(window)) anyGone = true;
    }
    if (!anyGone) return;
    std::scoped_lock lock(*m_memory);
    std::vector<platform::EndpointHandle> windows = WindowsLocked();
    DropGone(windows);
    StoreWindowsLocked(windows);
}

}  // namespace bus
