// A claim on one camera across processes: an flock on a hidden file beside the camera's unit
// socket. Only one program at a time may capture from a camera, and a program that dies,
// however it dies, lets go of its claim with its descriptors.
#pragma once

#include <string>

#include "platform/UniqueFd.h"

class CameraLock {
public:
    enum class Result { Taken, InUse, Failed };

    CameraLock() = default;

    // Claims the camera whose unit socket is devicePath. InUse when another open claim holds
    // it (in this process or another); Failed, with error set, when no lock file can be made.
    Result Take(const std::string& devicePath, std::string& error);
    bool IsHeld() const { return m_fd.IsValid(); }
    void Release() { m_fd.Reset(); }

    // The lock file of a unit socket: ".NAME.lock" in the same folder.
    static std::string LockPath(const std::string& devicePath);

private:
    platform::UniqueFd m_fd;
};
