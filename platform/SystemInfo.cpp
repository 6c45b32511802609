// Free memory from /proc/meminfo, a 32-bit millisecond tick and the platform family.
#include "platform/SystemInfo.h"

#include <atomic>
#include <charconv>
#include <chrono>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

namespace {

std::atomic<std::uint32_t> g_tickOffset{0};

constexpr std::string_view kMemAvailable = "MemAvailable:";

// The figure after "MemAvailable:" ("   123456 kB") in bytes; empty when it is not well formed.
std::optional<std::uint64_t> ParseKibibytes(std::string_view text) {
    const auto digits = text.find_first_not_of(' ');
    if (digits == std::string_view::npos) return std::nullopt;
    text.remove_prefix(digits);
    constexpr auto most = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t kib = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), kib);
    if (error == std::errc::result_out_of_range) return most;
    if (error != std::errc() || std::string_view(end, text.data() + text.size()) != " kB")
        return std::nullopt;
    return kib > most / 1024 ? most : kib * 1024;
}

}  // namespace

std::uint32_t SystemInfo::AvailablePhysicalMemory() {
    return AvailablePhysicalMemory("/proc/meminfo");
}

std::uint32_t SystemInfo::AvailablePhysicalMemory(const std::filesystem::path& meminfo) {
    std::ifstream in(meminfo);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.starts_with(kMemAvailable)) continue;
        const auto bytes = ParseKibibytes(std::string_view(line).substr(kMemAvailable.size()));
        if (!bytes) return 0;
        constexpr std::uint64_t most = std::numeric_limits<std::uint32_t>::max();
        return static_cast<std::uint32_t>(*bytes < most ? *bytes : most);
    }
    return 0;
}

std::uint32_t SystemInfo::TickCount() {
    const auto sinceBoot = std::chrono::steady_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(sinceBoot).count();
    return static_cast<std::uint32_t>(ms) + g_tickOffset.load(std::memory_order_relaxed);
}

void SystemInfo::SetTickCountOffset(std::uint32_t offset) {
    g_tickOffset.store(offset, std::memory_order_relaxed);
}

std::uint32_t SystemInfo::PlatformId() { return 2; }

}  // namespace platform
