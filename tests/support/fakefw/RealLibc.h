// The C library's own functions behind the ones this library interposes, looked up on first use
// (dlsym RTLD_NEXT), so that a sanitizer runtime preloaded first still sees every call.
#pragma once

#include <dirent.h>
#include <poll.h>
#include <sys/types.h>

namespace fakefw::real {

int open(const char* path, int flags, mode_t mode);
int openat(int dirfd, const char* path, int flags, mode_t mode);
int close(int fd);
ssize_t read(int fd, void* buffer, size_t count);
ssize_t write(int fd, const void* buffer, size_t count);
int ioctl(int fd, unsigned long request, void* argument);
int poll(pollfd* fds, nfds_t count, int timeout);
void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset);
DIR* opendir(const char* path);
dirent* readdir(DIR* dir);
dirent64* readdir64(DIR* dir);
int closedir(DIR* dir);

}  // namespace fakefw::real
