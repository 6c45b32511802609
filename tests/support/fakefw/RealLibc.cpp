// Lazy lookups of the next definition of each interposed function.
#include "tests/support/fakefw/RealLibc.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace fakefw::real {
namespace {

// The next definition of name, found once; a missing one is a broken C library, not an error
// a caller could handle.
template <typename Function>
Function* Next(std::atomic<void*>& cache, const char* name) {
    void* function = cache.load(std::memory_order_acquire);
    if (function == nullptr) {
        function = ::dlsym(RTLD_NEXT, name);
        if (function == nullptr) {
            std::fprintf(stderr, "libkestrix_fakefw: no %s in the C library\n", name);
            std::abort();
        }
        cache.store(function, std::memory_order_release);
    }
    return reinterpret_cast<Function*>(function);
}

#define FAKEFW_NEXT(name) \
    static std::atomic<void*> cache{nullptr}; \
    return Next<decltype(::name)>(cache, #name)

}  // namespace

int open(const char* path, int flags, mode_t mode) {
    FAKEFW_NEXT(open)(path, flags, mode);
}
int openat(int dirfd, const char* path, int flags, mode_t mode) {
    FAKEFW_NEXT(openat)(dirfd, path, flags, mode);
}
int close(int fd) { FAKEFW_NEXT(close)(fd); }
ssize_t read(int fd, void* buffer, size_t count) { FAKEFW_NEXT(read)(fd, buffer, count); }
ssize_t write(int fd, const void* buffer, size_t count) { FAKEFW_NEXT(write)(fd, buffer, count); }
int ioctl(int fd, unsigned long request, void* argument) {
    FAKEFW_NEXT(ioctl)(fd, request, argument);
}
int poll(pollfd* fds, nfds_t count, int timeout) { FAKEFW_NEXT(poll)(fds, count, timeout); }
void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
    FAKEFW_NEXT(mmap)(address, length, protection, flags, fd, offset);
}
DIR* opendir(const char* path) { FAKEFW_NEXT(opendir)(path); }
dirent* readdir(DIR* dir) { FAKEFW_NEXT(readdir)(dir); }
dirent64* readdir64(DIR* dir) { FAKEFW_NEXT(readdir64)(dir); }
int closedir(DIR* dir) { FAKEFW_NEXT(closedir)(dir); }

}  // namespace fakefw::real
