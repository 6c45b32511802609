// Per-camera claims through flock.
#include "camera/CameraLock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

CameraLock::Result CameraLock::Take(const std::string& devicePath, std::string& error) {
    Release();
    const std::string path = LockPath(devicePath);
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

std::string CameraLock::LockPath(const std::string& devicePath) {
    const std::filesystem::path device(devicePath);
    // Appended rather than "." + name: GCC 12 at -O3 warns falsely about the latter (-Wrestrict).
    std::string name = ".";
    name += device.filename().string();
    name += ".lock";
    return (device.parent_path() / name).string();
}
