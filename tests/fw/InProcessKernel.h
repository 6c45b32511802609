// The fake kernel's bus (tests/support/fakefw) behind the bridge's kernel seam, in the test's own
// process and on a manual clock, so that a test drives the bridge by hand: fw0 is the
// controller's node, fw1.. the cameras, each file a real descriptor the bridge can watch.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>

#include <cerrno>
#include <string>
#include <vector>

#include "fw/KernelApi.h"
#include "tests/support/fakefw/FakeBus.h"

namespace fwtest {

class InProcessKernel : public fw::KernelApi {
public:
    static constexpr const char* kDir = "/fake/dev";

    explicit InProcessKernel(unsigned cameras) : m_bus(Cameras(cameras)) {}

    fakefw::FakeBus& Bus() { return m_bus; }

    int Open(const std::string& path) override {
        const std::string prefix = std::string(kDir) + "/fw";
        if (!path.starts_with(prefix)) return errno = ENOENT, -1;
        return fakefw::Answer(m_bus.Open(std::stoi(path.substr(prefix.size())),
                                 O_RDWR | O_NONBLOCK | O_CLOEXEC));
    }
    int Ioctl(int fd, unsigned long request, void* argument) override {
        return fakefw::Answer(m_bus.Ioctl(fd, request, argument));
    }
    ssize_t Read(int fd, void* buffer, std::size_t bytes) override {
        return fakefw::Answer(m_bus.Read(fd, buffer, bytes));
    }
    void* Map(int fd, std::size_t bytes) override {
        void* address = m_bus.Map(nullptr, bytes, PROT_READ, MAP_SHARED, fd);
        return address == MAP_FAILED ? nullptr : address;
    }
    void Unmap(void* address, std::size_t bytes) override { ::munmap(address, bytes); }
    void Close(int fd) override { m_bus.Close(fd); }
    std::vector<std::string> List(const std::string& dir) override {
        return dir == kDir ? m_bus.NodeNames() : std::vector<std::string>{};
    }

private:
    static fakefw::Config Cameras(unsigned cameras) {
        fakefw::Config config;
        config.cameras = cameras;
        return config;
    }

    fakefw::FakeBus m_bus;
};

}  // namespace fwtest
