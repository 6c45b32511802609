// The log's configuration (KESTRIX_LOG, -v) and its line writer.
#include "platform/Log.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "platform/ErrorCodes.h"

namespace platform {

namespace detail {
std::atomic<int> g_logThreshold[kLogCategoryCount] = {-1, -1, -1, -1, -1, -1, -1};
}  // namespace detail

namespace {

constexpr std::array<const char*, kLogCategoryCount> kCategoryNames = {
    "bus", "camera", "capture", "files", "simbus", "platform", "app"};
constexpr std::array<const char*, 5> kLevelNames = {"off", "error", "warn", "info", "debug"};

// What KESTRIX_LOG (or ConfigureLog) asked for; -1 where a category is not named. Unasked, the
// libraries stay silent: the programs report a failure in their own words already.
struct LogConfig {
    int defaultLevel = static_cast<int>(LogLevel::Off);
    std::array<int, kLogCategoryCount> named{-1, -1, -1, -1, -1, -1, -1};
    int verbosity = 0;
};

std::mutex g_configMutex;  // guards g_config and g_loaded
LogConfig g_config;
bool g_loaded = false;
std::atomic<int> g_logFd{STDERR_FILENO};

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

template <std::size_t N>
std::optional<int> IndexOf(const std::array<const char*, N>& names, std::string_view word) {
    for (std::size_t i = 0; i < N; ++i) {
        if (EqualsNoCase(names[i], word)) return static_cast<int>(i);
    }
    return std::nullopt;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

// Applies one "category:level", "*:level" or bare "level" item; false when it does not parse.
bool ApplyItem(std::string_view item, LogConfig& config) {
    const std::size_t colon = item.find(':');
    const std::string_view name =
        colon == std::string_view::npos ? "*" : Trim(item.substr(0, colon));
    const std::string_view levelText =
        Trim(colon == std::string_view::npos ? item : item.substr(colon + 1));
    const std::optional<int> level = IndexOf(kLevelNames, levelText);
    if (!level) return false;
    if (name == "*") {
        config.defaultLevel = *level;
        return true;
    }
    const std::optional<int> category = IndexOf(kCategoryNames, name);
    if (!category) return false;
    config.named[*category] = *level;
    return true;
}

LogConfig Parse(std::string_view settings, std::vector<std::string_view>& rejected) {
    LogConfig config;
    while (!settings.empty()) {
        const std::size_t comma = settings.find(',');
        const std::string_view item = Trim(settings.substr(0, comma));
        if (!item.empty() && !ApplyItem(item, config)) rejected.push_back(item);
        settings = comma == std::string_view::npos ? std::string_view{} : settings.substr(comma + 1);
    }
    return config;
}

void Publish(const LogConfig& config) {
    // One -v is info, two or more debug.
    const int raised = std::min(static_cast<int>(LogLevel::Info) + config.verbosity - 1,
                                static_cast<int>(LogLevel::Debug));
    const int fallback =
        config.verbosity > 0 ? std::max(config.defaultLevel, raised) : config.defaultLevel;
    for (int i = 0; i < kLogCategoryCount; ++i) {
        const int level = config.named[i] >= 0 ? config.named[i] : fallback;
        detail::g_logThreshold[i].store(level, std::memory_order_relaxed);
    }
}

// Requires g_configMutex.
void ReplaceConfigLocked(std::string_view settings) {
    std::vector<std::string_view> rejected;
    const int verbosity = g_config.verbosity;
    g_config = Parse(settings, rejected);
    g_config.verbosity = verbosity;
    g_loaded = true;
    Publish(g_config);
    if (rejected.empty()) return;
    // The user mistyped something: say so whatever the thresholds, once for the whole setting.
    std::string text = "KESTRIX_LOG: ignored";
    for (std::string_view item : rejected) text.append(" \"").append(item).append("\"");
    text +=
        " (expected category:level, categories bus camera capture files simbus platform app *,"
        " levels off error warn info debug)";
    WriteLogLine(LogCategory::Platform, LogLevel::Warn, text);
}

void LoadFromEnvironmentLocked() {
    if (g_loaded) return;
    const char* settings = std::getenv("KESTRIX_LOG");
    ReplaceConfigLocked(settings != nullptr ? settings : "");
}

void AppendTimestamp(std::string& line) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char buffer[40];
    const int n = std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%03ld ",
                                utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                                utc.tm_min, utc.tm_sec, now.tv_nsec / 1000000);
    line.append(buffer, static_cast<std::size_t>(std::max(n, 0)));
}

void WriteFormatted(LogCategory category, LogLevel level, std::string_view text) {
    std::string line;
    line.reserve(text.size() + 64);
    AppendTimestamp(line);
    line += '[' + std::to_string(gettid()) + "] ";
    line += kLevelNames[static_cast<int>(level)];
    line += ' ';
    line += kCategoryNames[static_cast<int>(category)];
    line += ": ";
    line += text;
    line += '\n';
    // One write per line; the loop only finishes a write a signal or a full pipe cut short.
    const int fd = g_logFd.load();
    std::string_view rest = line;
    while (!rest.empty()) {
        const ssize_t written = ::write(fd, rest.data(), rest.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
}

}  // namespace

namespace detail {
int LoadLogConfig(LogCategory category) {
    std::scoped_lock lock(g_configMutex);
    LoadFromEnvironmentLocked();
    return g_logThreshold[static_cast<int>(category)].load(std::memory_order_relaxed);
}
}  // namespace detail

void ConfigureLog(std::string_view settings) {
    std::scoped_lock lock(g_configMutex);
    ReplaceConfigLocked(settings);
}

void SetLogVerbosity(int count) {
    std::scoped_lock lock(g_configMutex);
    LoadFromEnvironmentLocked();
    g_config.verbosity = std::max(count, 0);
    Publish(g_config);
}

int SetLogFd(int fd) { return g_logFd.exchange(fd); }

void WriteLogLine(LogCategory category, LogLevel level, std::string_view text) noexcept {
    // Callers log at a failure point and may read errno afterwards.
    const int savedErrno = errno;
    try {
        WriteFormatted(category, level, text);
    } catch (const std::bad_alloc&) {
        // A log line is never worth failing the operation it describes.
    }
    errno = savedErrno;
}

std::string ErrnoText(int error) {
    char buffer[128];
    // The GNU strerror_r returns the text, which may or may not be in buffer.
    const char* text = strerror_r(error, buffer, sizeof buffer);
    return std::string(text) + " (errno " + std::to_string(error) + ")";
}

std::string StatusText(std::uint32_t status) {
    return std::string(ErrorName(status)) + " (status " + std::to_string(status) + ")";
}

std::ostream& operator<<(std::ostream& out, Hex hex) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(hex.value));
    return out << buffer;
}

}  // namespace platform
