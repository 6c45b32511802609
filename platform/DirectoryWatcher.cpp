// inotify watch of a device directory, reporting socket arrivals and removals by rescanning.
#include "platform/DirectoryWatcher.h"

#include <sys/inotify.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <string_view>
#include <system_error>

#include "platform/DeviceDirectoryScan.h"
#include "platform/UnixSocket.h"

namespace platform {

namespace {

constexpr std::uint32_t kDirectoryEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                           IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr std::uint32_t kParentEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR;

void MakeDirectory(const std::filesystem::path& directory) {
    std::error_code ignored;
    std::filesystem::create_directories(directory.parent_path(), ignored);
    ::mkdir(directory.c_str(), 0700);  // an existing one is left as it is
}

std::vector<std::string> Missing(const std::vector<std::string>& from,
                                 const std::vector<std::string>& in) {
    std::vector<std::string> missing;
    std::set_difference(from.begin(), from.end(), in.begin(), in.end(),
                        std::back_inserter(missing));
    return missing;
}

}  // namespace

std::unique_ptr<DirectoryWatcher> DirectoryWatcher::Start(std::filesystem::path directory,
                                                          Callback callback) {
    directory = directory.lexically_normal();
    if (!directory.has_filename()) directory = directory.parent_path();  // a trailing slash
    MakeDirectory(directory);
    std::unique_ptr<DirectoryWatcher> watcher(
        new DirectoryWatcher(std::move(directory), std::move(callback)));
    if (!watcher->m_inotify || !watcher->m_stop.IsValid()) return nullptr;
    // Without the parent's watch a re-made directory goes unnoticed; the rest still works.
    watcher->m_parentWatch = ::inotify_add_watch(
        watcher->m_inotify.Get(), watcher->m_directory.parent_path().c_str(), kParentEvents);
    watcher->Resync();
    if (watcher->m_watch < 0) return nullptr;
    // Listed after the watch is in place, so a socket made in between is not missed.
    watcher->m_known = ListUnitSockets(watcher->m_directory);
    try {
        watcher->m_thread = std::thread(&DirectoryWatcher::Run, watcher.get());
    } catch (const std::system_error&) {
        return nullptr;
    }
    return watcher;
}

DirectoryWatcher::DirectoryWatcher(std::filesystem::path directory, Callback callback)
    : m_directory(std::move(directory)),
      m_callback(std::move(callback)),
      m_inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

DirectoryWatcher::~DirectoryWatcher() {
    m_stop.Raise();
    if (m_thread.joinable()) m_thread.join();
}

void DirectoryWatcher::Resync() {
    struct stat info {};
    const bool present = IsOwnDirectory(m_directory, &info);
    const std::pair id(info.st_dev, info.st_ino);
    if (m_watch >= 0 && present && id == m_watched) return;
    if (m_watch >= 0) ::inotify_rm_watch(m_inotify.Get(), m_watch);  // may be gone already
    m_watch =
        present ? ::inotify_add_watch(m_inotify.Get(), m_directory.c_str(), kDirectoryEvents) : -1;
    m_watched = id;
}

void DirectoryWatcher::Run() {
    std::array<pollfd, 2> fds{{{m_stop.Fd(), POLLIN, 0}, {m_inotify.Get(), POLLIN, 0}}};
    for (;;) {
        if (PollUntil(fds, kNoDeadline) < 0 || fds[0].revents != 0) return;
        if (!DrainEvents()) continue;
        Resync();
        Rescan();
    }
}

bool DirectoryWatcher::DrainEvents() {
    alignas(inotify_event) std::array<char, 4096> buffer;
    const std::string name = m_directory.filename().string();
    bool relevant = false;
    for (;;) {
        const ssize_t length = ::read(m_inotify.Get(), buffer.data(), buffer.size());
        if (length < 0 && errno == EINTR) continue;
        if (length <= 0) return relevant;
        for (std::size_t at = 0; at + sizeof(inotify_event) <= std::size_t(length);) {
            inotify_event event;
            std::memcpy(&event, buffer.data() + at, sizeof(event));
            const char* eventName = buffer.data() + at + sizeof(event);
            at += sizeof(event) + event.len;
            if (at > std::size_t(length)) break;  // a partial event: no name to trust
            const bool aboutName =
                event.wd == m_parentWatch &&
                std::string_view(eventName, ::strnlen(eventName, event.len)) == name;
            relevant = relevant || event.wd == m_watch || aboutName || (event.mask & IN_Q_OVERFLOW);
        }
    }
}

// Comparing listings rather than following single events copes with renames, a full event
// queue and a directory that vanished and came back.
void DirectoryWatcher::Rescan() {
    std::vector<std::string> now = ListUnitSockets(m_directory);
    for (const std::string& path : Missing(m_known, now)) m_callback(Change::Removal, path);
    for (const std::string& path : Missing(now, m_known)) m_callback(Change::Arrival, path);
    m_known = std::move(now);
}

}  // namespace platform
