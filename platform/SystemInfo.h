// Figures the system reports: free physical memory, a millisecond tick, the platform family.
#pragma once

#include <cstdint>

namespace platform {

class SystemInfo {
public:
    // MemAvailable of /proc/meminfo in bytes, clamped to 32 bits; 0 when it cannot be read.
    static std::uint32_t AvailablePhysicalMemory();
    // Monotonic milliseconds, wrapping at 32 bits.
    static std::uint32_t TickCount();
    // 2 (the NT family) here; the bus layer keeps its other branch for tests.
    static std::uint32_t PlatformId();
};

}  // namespace platform
