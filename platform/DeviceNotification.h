// Device-interface change notices for the bus driver's device directory, posted to an endpoint
// as the device-change message: wParam kDeviceArrival or kDeviceRemoveComplete, lParam
// kDeviceTypeInterface. The registration lasts as long as the object.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/MessageEndpoint.h"

namespace platform {

inline constexpr std::uint32_t kWmDeviceChange = 0x0219;
inline constexpr std::uint32_t kDeviceArrival = 0x8000;
inline constexpr std::uint32_t kDeviceRemoveComplete = 0x8004;
inline constexpr std::uint32_t kDeviceNodesChanged = 0x0007;
inline constexpr std::int64_t kDeviceTypeInterface = 5;

class DeviceNotification {
public:
    // Empty when the directory cannot be watched.
    static std::unique_ptr<DeviceNotification> Register(EndpointHandle target);
    ~DeviceNotification();
    DeviceNotification(const DeviceNotification&) = delete;
    DeviceNotification& operator=(const DeviceNotification&) = delete;

    class Impl;

private:
    explicit DeviceNotification(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace platform
