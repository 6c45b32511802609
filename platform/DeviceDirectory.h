// The bus driver's device directory: one socket per unit it serves. Its location is
// KESTRIX_BUS_DIR, else "kestrix-bus" under XDG_RUNTIME_DIR, else /tmp/kestrix-bus-<uid>.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace platform {

class DeviceDirectory {
public:
    static std::filesystem::path Path();
    // The device paths (unit sockets) present now, in ascending order.
    static std::vector<std::string> ListInterfaces();
};

}  // namespace platform
