// Shared pieces of the viewer benchmarks: Qt's own loop run for a while (a polling wait would
// add its own processor time to the figures), and the process's figures from /proc.
#pragma once

#include <QEventLoop>
#include <QTimer>

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

namespace viewerbench {

inline void RunLoopFor(std::chrono::milliseconds time) {
    QEventLoop loop;
    QTimer::singleShot(time, &loop, &QEventLoop::quit);
    loop.exec();
}

// User and system processor seconds of a /proc stat file (the process's or one thread's).
inline double CpuSeconds(const std::string& statFile = "/proc/self/stat") {
    std::ifstream stat(statFile);
    std::string line;
    std::getline(stat, line);
    // The command name may hold spaces: the fields are counted after its closing parenthesis.
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

// The window's (main) thread alone.
inline double WindowThreadCpuSeconds() {
    return CpuSeconds("/proc/self/task/" + std::to_string(::getpid()) + "/stat");
}

// A field of /proc/self/status in bytes ("VmHWM", "VmRSS").
inline std::uint64_t StatusBytes(const std::string& name) {
    std::ifstream status("/proc/self/status");
    std::string key;
    std::uint64_t kib = 0;
    while (status >> key) {
        if (key == name + ":") {
            status >> kib;
            return kib * 1024;
        }
        std::getline(status, key);
    }
    return 0;
}

}  // namespace viewerbench
