// Per-camera claims through flock.
#include "camera/CameraLock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

CameraLock::Result CameraLock::Take(const std::string& devicePath, std::uint64_t guid,
                                    std::string& error) {
    Release();
    if (guid == 0) {
        error = "cannot read the identity of the camera on " + devicePath;
        return Result::Failed;
    }
    const std::string path = LockPath(devicePath, guid);
    platform::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) {
        error = "cannot make the camera's lock " + path + ": " + std::strerror(errno);
        return Result::Failed;
    }
    while (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return Result::InUse;
        if (errno != EINTR) {
            error = "cannot lock " + path + ": " + std::strerror(errno);
            return Result::Failed;
        }
    }
    m_fd = std::move(fd);
    return Result::Taken;
}

std::string CameraLock::LockPath(const std::string& devicePath, std::uint64_t guid) {
    std::error_code error;
    std::filesystem::path device = std::filesystem::canonical(devicePath, error);
    if (error) device = devicePath;
    char name[40];
    std::snprintf(name, sizeof name, ".camera-%016llx.lock", static_cast<unsigned long long>(guid));
    return (device.parent_path() / name).string();
}
