// Locating and listing the bus driver's device directory.
#include "platform/DeviceDirectory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "platform/DeviceDirectoryScan.h"
#include "platform/Log.h"

namespace platform {

namespace {

const char* NonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

// Why a directory yields no devices: a missing one only means no bus runs; one that belongs to
// someone else is refused, which the user would not guess.
void LogUnusableDirectory(const std::filesystem::path& directory) {
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0) {
        KX_LOG(Platform, Debug) << "device directory " << directory.string() << ": "
                                << ErrnoText(errno);
    } else {
        KX_LOG(Platform, Warn) << "device directory " << directory.string()
                               << " ignored: not a directory owned by this user";
    }
}

}  // namespace

std::filesystem::path DeviceDirectory::Path() {
    if (const char* dir = NonEmptyEnv("KESTRIX_BUS_DIR")) return dir;
    if (const char* runtime = NonEmptyEnv("XDG_RUNTIME_DIR")) {
        return std::filesystem::path(runtime) / "kestrix-bus";
    }
    return "/tmp/kestrix-bus-" + std::to_string(::geteuid());
}

std::vector<std::string> DeviceDirectory::ListInterfaces() { return ListUnitSockets(Path()); }

bool IsOwnDirectory(const std::filesystem::path& directory, struct stat* info) {
    struct stat status {};
    if (info == nullptr) info = &status;
    return ::stat(directory.c_str(), info) == 0 && S_ISDIR(info->st_mode) &&
           info->st_uid == ::geteuid();
}

std::vector<std::string> ListUnitSockets(const std::filesystem::path& directory) {
    std::vector<std::string> sockets;
    if (!IsOwnDirectory(directory)) {
        LogUnusableDirectory(directory);
        return sockets;
    }
    std::error_code error;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        std::error_code typeError;
        if (it->is_socket(typeError)) sockets.push_back(it->path().string());
    }
    std::sort(sockets.begin(), sockets.end());
    return sockets;
}

}  // namespace platform
