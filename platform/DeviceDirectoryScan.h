// Reading one device directory, shared by the listing and the change watcher.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

namespace platform {

// True when `directory` is a directory that this user owns (its status in `info` when given).
// A folder another user made in its place, such as /tmp/kestrix-bus-<uid>, could hold sockets
// that pose as the driver.
bool IsOwnDirectory(const std::filesystem::path& directory, struct stat* info = nullptr);
// The full paths of the sockets in `directory` (other files skipped), ascending; empty when it
// is missing or not the user's own.
std::vector<std::string> ListUnitSockets(const std::filesystem::path& directory);

}  // namespace platform
