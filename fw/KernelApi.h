// The seam between kestrix-fwd and the kernel's FireWire character devices: every kernel call
// the bridge makes goes through one of these, so that a test can stand in for the kernel in
// the same process. SystemKernel is the real one.
//
// The calls keep the system's conventions: -1 and errno on failure, descriptors that epoll can
// watch.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace fw {

class KernelApi {
public:
    virtual ~KernelApi() = default;
    virtual int Open(const std::string& path) = 0;  // read-write, non-blocking, close-on-exec
    virtual int Ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual ssize_t Read(int fd, void* buffer, std::size_t bytes) = 0;
    // A read-only shared mapping of a context's buffer; null on failure.
    virtual void* Map(int fd, std::size_t bytes) = 0;
    virtual void Unmap(void* address, std::size_t bytes) = 0;
    virtual void Close(int fd) = 0;
    // The names in dir, any order; empty when it cannot be read.
    virtual std::vector<std::string> List(const std::string& dir) = 0;
};

class SystemKernel : public KernelApi {
public:
    int Open(const std::string& path) override;
    int Ioctl(int fd, unsigned long request, void* argument) override;
    ssize_t Read(int fd, void* buffer, std::size_t bytes) override;
    void* Map(int fd, std::size_t bytes) override;
    void Unmap(void* address, std::size_t bytes) override;
    void Close(int fd) override;
    std::vector<std::string> List(const std::string& dir) override;
};

// A descriptor opened through a KernelApi, closed through it when it goes.
class KernelFd {
public:
    KernelFd() = default;
    KernelFd(KernelApi& kernel, int fd) : m_kernel(&kernel), m_fd(fd) {}
    ~KernelFd() { Reset(); }
    KernelFd(KernelFd&& other) noexcept
        : m_kernel(other.m_kernel), m_fd(std::exchange(other.m_fd, -1)) {}
    KernelFd& operator=(KernelFd&& other) noexcept {
        if (this != &other) {
            Reset();
            m_kernel = other.m_kernel;
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    KernelFd(const KernelFd&) = delete;
    KernelFd& operator=(const KernelFd&) = delete;

    int Get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    void Reset() {
        if (m_fd >= 0) m_kernel->Close(m_fd);
        m_fd = -1;
    }

private:
    KernelApi* m_kernel = nullptr;
    int m_fd = -1;
};

}  // namespace fw
