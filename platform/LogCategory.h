// The parts of the system a log line comes from, and the levels a line can have.
#pragma once

namespace platform {

enum class LogCategory : int { Bus, Camera, Capture, Files, Simbus, Platform, App };
inline constexpr int kLogCategoryCount = 7;

// Higher is chattier; a line is written when its level is at or below its category's threshold.
enum class LogLevel : int { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4 };

}  // namespace platform
