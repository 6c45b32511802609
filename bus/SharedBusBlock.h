// The block of shared memory that every process using the bus layer joins: the master window,
// the number of open bus objects, the platform id, the device path table and the table of
// hidden bus windows. Every access takes the block's process-shared lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/MessageEndpoint.h"
#include "platform/SharedMemory.h"

namespace bus {

class SharedBusBlock {
public:
    static constexpr const char* kName = "QB1394Class_SharedDataMap";
    static constexpr std::size_t kSize = 2632;
    static constexpr std::size_t kMasterOffset = 0;
    static constexpr std::size_t kOpenCountOffset = 4;
    static constexpr std::size_t kPlatformIdOffset = 8;
    static constexpr std::size_t kDeviceCountOffset = 12;
    static constexpr std::size_t kDeviceTableOffset = 16;
    static constexpr std::size_t kWindowTableOffset = 2568;
    static constexpr std::size_t kMaxDevices = 10;
    static constexpr std::size_t kPathSlotBytes = 255;  // a path of at most 254 bytes and its NUL
    static constexpr std::size_t kMaxWindows = 16;

    using PathTable = std::array<std::array<char, kPathSlotBytes>, kMaxDevices>;

    // Joins the block, creating it zeroed when no process holds it; empty on failure.
    static std::unique_ptr<SharedBusBlock> Open();

    bool Created() const { return !m_memory->AlreadyExisted(); }

    platform::EndpointHandle Master();
    // Makes window the master when there is none or the master's endpoint is gone; true when
    // window is the master afterwards.
    bool ClaimMaster(platform::EndpointHandle window);
    // Clears the master when it is window.
    void ReleaseMaster(platform::EndpointHandle window);

    // Adds delta to the number of open objects and returns the new number.
    std::uint32_t AddOpenCount(int delta);
    std::uint32_t PlatformId();
    void SetPlatformId(std::uint32_t id);

    // Replaces the device table with paths, in order; a path over 254 bytes is skipped and
    // paths past the tenth are left out. Returns the number stored.
    std::uint32_t SetDevices(const std::vector<std::string>& paths);
    // Copies the device count and table.
    std::uint32_t GetDevices(PathTable& table);
    // The path in slot 0, empty when there is none.
    std::string FirstDevice();

    // Stores window in the first free slot of the window table, after dropping the entries of
    // endpoints that are gone; false when the table is full or window is 0.
    bool AddWindow(platform::EndpointHandle window);
    // Removes window, keeping the others in order from the front.
    void RemoveWindow(platform::EndpointHandle window);
    // The window table up to its first empty slot.
    std::vector<platform::EndpointHandle> Windows();
    // Sends msg (both parameters 0) to every listed window in order, the lock not held so that
    // handlers may use the block, and drops the windows whose endpoint is gone.
    void SendToWindows(std::uint32_t msg);
    // The same with posts, for a sender that its windows' threads may be waiting for; stops
    // early once stopRequested() says so.
    void PostToWindows(std::uint32_t msg, const std::function<bool()>& stopRequested);

    // Raw access for tests and diagnostics.
    std::uint32_t WordAt(std::size_t offset);

private:
    explicit SharedBusBlock(std::unique_ptr<platform::SharedMemory> memory);
    std::uint8_t* Bytes() const;
    std::uint32_t Load(std::size_t offset) const;
    void Store(std::size_t offset, std::uint32_t value);
    // Hands each listed window to deliver until stop() holds; drops those that are gone.
    void ForEachWindow(const std::function<bool(platform::EndpointHandle)>& deliver,
                       const std::function<bool()>& stop);
    // Both with the lock held.
    std::vector<platform::EndpointHandle> WindowsLocked() const;
    void StoreWindowsLocked(const std::vector<platform::EndpointHandle>& windows);

    std::unique_ptr<platform::SharedMemory> m_memory;
};

}  // namespace bus
