// The C library functions this library stands in for: calls on /dev/fw* paths and on the fake
// files' descriptors go to the fake bus; everything else to the C library untouched.
#undef _FORTIFY_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/fakefw/FakeBus.h"
#include "tests/support/fakefw/RealLibc.h"

using fakefw::Answer;
using fakefw::FakeBus;

namespace {

int OpenPath(const char* path, int flags, mode_t mode) {
    const int slot = path == nullptr ? -1 : FakeBus::SlotOf(path);
    if (slot < 0) return fakefw::real::open(path, flags, mode);
    return Answer(FakeBus::Get().Open(slot, flags));
}

int OpenAt(int dirfd, const char* path, int flags, mode_t mode) {
    if (path != nullptr && path[0] == '/' && FakeBus::SlotOf(path) >= 0)
        return OpenPath(path, flags, mode);
    return fakefw::real::openat(dirfd, path, flags, mode);
}

mode_t ModeOf(int flags, va_list args) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? mode_t(va_arg(args, int)) : 0;
}

// A /dev listing that the fake nodes join once the real entries are through.
struct Listing {
    std::vector<std::string> names;
    std::size_t next = 0;
    dirent entry{};
    dirent64 entry64{};
};
std::mutex g_listingsMutex;
// Never destroyed: a listing may be read while the process exits.
std::map<DIR*, Listing>& Listings() {
    static auto* const listings = new std::map<DIR*, Listing>();
    return *listings;
}

bool IsDev(const char* path) {
    return path != nullptr && (std::strcmp(path, "/dev") == 0 || std::strcmp(path, "/dev/") == 0);
}
bool IsNodeName(const char* name) {
    return std::strncmp(name, "fw", 2) == 0 && name[2] >= '0' && name[2] <= '9';
}

template <typename Entry>
Entry* NextEntry(DIR* dir, Entry* (*next)(DIR*), Entry Listing::*slot) {
    {
        std::lock_guard lock(g_listingsMutex);
        if (Listings().count(dir) == 0) return next(dir);
    }
    for (Entry* entry; (entry = next(dir)) != nullptr;)
        if (!IsNodeName(entry->d_name)) return entry;
    std::lock_guard lock(g_listingsMutex);
    Listing& listing = Listings()[dir];
    if (listing.next >= listing.names.size()) return nullptr;
    const std::string& name = listing.names[listing.next++];
    Entry& entry = listing.*slot;
    entry = Entry{};
    entry.d_ino = 0x7F00'0000 + listing.next;
    entry.d_reclen = sizeof entry;
    entry.d_type = DT_CHR;
    std::strncpy(entry.d_name, name.c_str(), sizeof entry.d_name - 1);
    return &entry;
}

// Made at load when another process may look at the folder or the socket before this one
// touches a node.
__attribute__((constructor)) void StartEarly() {
    const fakefw::Config& config = fakefw::Config::Get();
    if (!config.devDir.empty() || !config.controlPath.empty()) FakeBus::Get();
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeOf(flags, args);
    va_end(args);
    return OpenPath(path, flags, mode);
}
int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeOf(flags, args);
    va_end(args);
    return OpenPath(path, flags, mode);
}
int __open_2(const char* path, int flags) { return OpenPath(path, flags, 0); }
int __open64_2(const char* path, int flags) { return OpenPath(path, flags, 0); }
int openat(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeOf(flags, args);
    va_end(args);
    return OpenAt(dirfd, path, flags, mode);
}
int openat64(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeOf(flags, args);
    va_end(args);
    return OpenAt(dirfd, path, flags, mode);
}
int __openat_2(int dirfd, const char* path, int flags) { return OpenAt(dirfd, path, flags, 0); }
int __openat64_2(int dirfd, const char* path, int flags) { return OpenAt(dirfd, path, flags, 0); }

int close(int fd) {
    if (!FakeBus::IsFake(fd)) return fakefw::real::close(fd);
    return FakeBus::Get().Close(fd);
}

ssize_t read(int fd, void* buffer, size_t count) {
    if (!FakeBus::IsFake(fd)) return fakefw::real::read(fd, buffer, count);
    return Answer<ssize_t>(FakeBus::Get().Read(fd, buffer, count));
}
ssize_t __read_chk(int fd, void* buffer, size_t count, size_t) { return read(fd, buffer, count); }

int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    // The generic descriptor requests never reach a driver.
    const bool generic = request == FIONBIO || request == FIOCLEX || request == FIONCLEX ||
                         request == FIOASYNC;
    if (!FakeBus::IsFake(fd) || generic) return fakefw::real::ioctl(fd, request, argument);
    return Answer(FakeBus::Get().Ioctl(fd, request, argument));
}

int poll(pollfd* fds, nfds_t count, int timeout) {
    const int ready = fakefw::real::poll(fds, count, timeout);
    // A node that left answers hang-up and error, as the kernel's files do.
    for (nfds_t i = 0; ready > 0 && i < count; ++i)
        if ((fds[i].revents & POLLHUP) && FakeBus::IsFake(fds[i].fd)) fds[i].revents |= POLLERR;
    return ready;
}

void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
    if (!FakeBus::IsFake(fd)) return fakefw::real::mmap(address, length, protection, flags, fd, offset);
    return FakeBus::Get().Map(address, length, protection, flags, fd);
}
void* mmap64(void* address, size_t length, int protection, int flags, int fd, off64_t offset) {
    return mmap(address, length, protection, flags, fd, offset);
}

DIR* opendir(const char* path) {
    DIR* dir = fakefw::real::opendir(path);
    if (dir != nullptr && IsDev(path)) {
        std::vector<std::string> names = FakeBus::Get().NodeNames();
        std::lock_guard lock(g_listingsMutex);
        Listings()[dir].names = std::move(names);
    }
    return dir;
}
dirent* readdir(DIR* dir) { return NextEntry(dir, fakefw::real::readdir, &Listing::entry); }
dirent64* readdir64(DIR* dir) { return NextEntry(dir, fakefw::real::readdir64, &Listing::entry64); }
int closedir(DIR* dir) {
    {
        std::lock_guard lock(g_listingsMutex);
        Listings().erase(dir);
    }
    return fakefw::real::closedir(dir);
}

}  // extern "C"
