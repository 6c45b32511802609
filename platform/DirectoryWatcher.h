// Watches one device directory with inotify and reports unit sockets as they come and go, from
// a thread of its own. Other files (a lock or pid file) are never reported. The callback runs
// on the watcher thread and must not destroy the watcher.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/PollFlag.h"
#include "platform/UniqueFd.h"

namespace platform {

class DirectoryWatcher {
public:
    enum class Change { Arrival, Removal };
    using Callback = std::function<void(Change, const std::string& path)>;

    // Creates the directory (mode 0700) when it is missing. Empty when it cannot be watched.
    // Sockets present at the start are known, not reported.
    static std::unique_ptr<DirectoryWatcher> Start(std::filesystem::path directory,
                                                   Callback callback);
    ~DirectoryWatcher();  // stops the thread and joins it
    DirectoryWatcher(const DirectoryWatcher&) = delete;
    DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;

private:
    DirectoryWatcher(std::filesystem::path directory, Callback callback);
    // Points the watch at whatever directory the path names now (none when it is missing).
    void Resync();
    void Run();
    // Empties the inotify queue; true when an event concerned the directory or its name.
    bool DrainEvents();
    void Rescan();

    const std::filesystem::path m_directory;
    const Callback m_callback;
    UniqueFd m_inotify;
    PollFlag m_stop;
    // Used by the watcher thread alone once it runs.
    int m_watch = -1;
    // The parent folder is watched for the directory's name: a removed directory that a
    // still-open socket pins never reports its own deletion, so a re-made one shows up here.
    int m_parentWatch = -1;
    std::pair<dev_t, ino_t> m_watched{};
    std::vector<std::string> m_known;
    std::thread m_thread;
};

}  // namespace platform
