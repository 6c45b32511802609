// Figures the system reports: free physical memory, a millisecond tick, the platform family.
#pragma once

#include <cstdint>
#include <filesystem>

namespace platform {

class SystemInfo {
public:
    // MemAvailable of /proc/meminfo in bytes, clamped to 32 bits; 0 when it cannot be read.
    static std::uint32_t AvailablePhysicalMemory();
    // The same, read from a file in the /proc/meminfo format.
    static std::uint32_t AvailablePhysicalMemory(const std::filesystem::path& meminfo);
    // Monotonic milliseconds, wrapping at 32 bits.
    static std::uint32_t TickCount();
    // Added to every later TickCount, so that tests can start the tick just before its wrap.
    static void SetTickCountOffset(std::uint32_t offset);
    // Always 2: a device removal is rescanned at once. The bus layer's branch for 1 (a removal
    // acted on at the next nodes-changed notice) is reached only by tests that store 1.
    static std::uint32_t PlatformId();
};

}  // namespace platform
