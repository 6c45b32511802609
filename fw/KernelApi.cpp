// The real kernel behind the seam.
#include "fw/KernelApi.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

namespace fw {

int SystemKernel::Open(const std::string& path) {
    return ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

int SystemKernel::Ioctl(int fd, unsigned long request, void* argument) {
    int result;
    do {
        result = ::ioctl(fd, request, argument);
    } while (result < 0 && errno == EINTR);
    return result;
}

ssize_t SystemKernel::Read(int fd, void* buffer, std::size_t bytes) {
    return ::read(fd, buffer, bytes);
}

void* SystemKernel::Map(int fd, std::size_t bytes) {
    void* address = ::mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd, 0);
    return address == MAP_FAILED ? nullptr : address;
}

void SystemKernel::Unmap(void* address, std::size_t bytes) { ::munmap(address, bytes); }

void SystemKernel::Close(int fd) { ::close(fd); }

std::vector<std::string> SystemKernel::List(const std::string& dir) {
    std::vector<std::string> names;
    DIR* folder = ::opendir(dir.c_str());
    if (folder == nullptr) return names;
    while (const dirent* entry = ::readdir(folder)) names.emplace_back(entry->d_name);
    ::closedir(folder);
    return names;
}

}  // namespace fw
