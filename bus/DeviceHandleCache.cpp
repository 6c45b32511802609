// Per-path cache of open device handles.
#include "bus/DeviceHandleCache.h"

#include <algorithm>

#include "platform/ErrorCodes.h"

namespace bus {

std::shared_ptr<platform::PlainDeviceHandle> DeviceHandleCache::Acquire(std::string_view path,
                                                                        std::uint32_t& error) {
    error = platform::kErrorSuccess;
    // Connecting under the lock keeps two threads from opening the same device twice.
    std::lock_guard lock(m_mutex);
    const auto it = std::find_if(m_handles.begin(), m_handles.end(),
                                 [&](const auto& entry) { return entry.first == path; });
    if (it != m_handles.end()) return it->second;
    auto handle = std::make_shared<platform::PlainDeviceHandle>();
    error = handle->Open(std::string(path));
    if (error != platform::kErrorSuccess) return nullptr;
    if (m_bEnabled) m_handles.emplace_back(std::string(path), handle);
    return handle;
}

void DeviceHandleCache::Drop(const std::shared_ptr<platform::PlainDeviceHandle>& handle) {
    std::lock_guard lock(m_mutex);
    std::erase_if(m_handles, [&](const auto& entry) { return entry.second == handle; });
}

void DeviceHandleCache::Clear() {
    std::lock_guard lock(m_mutex);
    m_handles.clear();
}

void DeviceHandleCache::SetEnabled(bool bEnabled) {
    std::lock_guard lock(m_mutex);
    m_bEnabled = bEnabled;
    if (!bEnabled) m_handles.clear();
}

std::size_t DeviceHandleCache::Size() const {
    std::lock_guard lock(m_mutex);
    return m_handles.size();
}

}  // namespace bus
