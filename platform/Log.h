// Diagnostics by category on stderr, chosen with KESTRIX_LOG (see docs/logging.md).
//
//   KX_LOG(Bus, Warn) << "read of register " << platform::Hex(address) << " failed";
//
// The level check is one relaxed atomic load; the stream expression is not evaluated when the
// line is off. Every line goes out in a single write(2), so lines from different threads and
// processes do not interleave.
#pragma once

#include <atomic>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

#include "platform/LogCategory.h"

namespace platform {

namespace detail {
// Per-category threshold as a LogLevel value; -1 until KESTRIX_LOG has been read.
extern std::atomic<int> g_logThreshold[kLogCategoryCount];
int LoadLogConfig(LogCategory category);
}  // namespace detail

inline bool LogEnabled(LogCategory category, LogLevel level) {
    int threshold =
        detail::g_logThreshold[static_cast<int>(category)].load(std::memory_order_relaxed);
    if (threshold < 0) threshold = detail::LoadLogConfig(category);
    return static_cast<int>(level) <= threshold;
}

// Replaces the configuration with settings (KESTRIX_LOG's syntax: "camera:debug,*:warn"). Items
// that do not parse are ignored and named in one warning line.
void ConfigureLog(std::string_view settings);

// A command line's -v count: 1 raises every category KESTRIX_LOG does not name to info, 2 to
// debug. Never lowers a threshold.
void SetLogVerbosity(int count);

// Where lines go (stderr by default); returns the previous descriptor. The caller keeps fd open.
int SetLogFd(int fd);

// Writes one line now, whatever the thresholds.
void WriteLogLine(LogCategory category, LogLevel level, std::string_view text) noexcept;

// "No such file or directory (errno 2)".
std::string ErrnoText(int error);
// A request's status as the bus layer reports it: "device not connected (status 1167)".
std::string StatusText(std::uint32_t status);

// Streams a value as 0x-prefixed hex without touching the stream's flags.
struct Hex {
    explicit Hex(std::uint64_t v) : value(v) {}
    std::uint64_t value;
};
std::ostream& operator<<(std::ostream& out, Hex hex);

// One line being built; written when it goes out of scope.
class LogLine {
public:
    LogLine(LogCategory category, LogLevel level) : m_category(category), m_level(level) {}
    ~LogLine() { WriteLogLine(m_category, m_level, m_text.view()); }
    LogLine(const LogLine&) = delete;
    LogLine& operator=(const LogLine&) = delete;

    std::ostream& Stream() { return m_text; }

private:
    LogCategory m_category;
    LogLevel m_level;
    std::ostringstream m_text;
};

}  // namespace platform

// The if/else shape keeps a following else bound to the caller's if.
#define KX_LOG(category, level)                                                                    \
    if (!::platform::LogEnabled(::platform::LogCategory::category, ::platform::LogLevel::level)) { \
    } else                                                                                         \
        ::platform::LogLine(::platform::LogCategory::category, ::platform::LogLevel::level).Stream()
