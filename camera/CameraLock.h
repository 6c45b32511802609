// A claim on one camera across processes: an flock on a hidden file named after the camera's
// GUID beside its unit socket. Only one program at a time may capture from a camera, whatever
// path (a link, another name of the same unit) it reaches it by, and a program that dies,
// however it dies, lets go of its claim with its descriptors.
#pragma once

#include <cstdint>
#include <string>

#include "platform/UniqueFd.h"

class CameraLock {
public:
    enum class Result { Taken, InUse, Failed };

    CameraLock() = default;

    // Claims the camera guid whose unit socket is devicePath. InUse when another open claim
    // holds it (in this process or another); Failed, with error set, when no lock file can be
    // made or the camera has no GUID (0: its ROM could not be read).
    Result Take(const std::string& devicePath, std::uint64_t guid, std::string& error);
    bool IsHeld() const { return m_fd.IsValid(); }
    void Release() { m_fd.Reset(); }

    // The lock file of a camera: ".camera-GUID.lock" in the folder that really holds the unit
    // socket (links followed).
    static std::string LockPath(const std::string& devicePath, std::uint64_t guid);

private:
    platform::UniqueFd m_fd;
};
