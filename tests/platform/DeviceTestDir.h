// A private device directory for one test (named by KESTRIX_BUS_DIR, with a shared-memory
// namespace of its own), and unit sockets listening in it.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/UniqueFd.h"
#include "platform/UnixSocket.h"

namespace platform::testing {

class DeviceTestDir {
public:
    DeviceTestDir() {
        char pattern[] = "/tmp/kestrix-platdev-XXXXXX";
        EXPECT_NE(::mkdtemp(pattern), nullptr);
        m_path = pattern;
        ::setenv("KESTRIX_BUS_DIR", pattern, 1);
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string name = std::to_string(::getpid()) + "-" + (test ? test->name() : "x");
        ::setenv("KESTRIX_SHM_NAMESPACE", name.c_str(), 1);
    }
    ~DeviceTestDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    DeviceTestDir(const DeviceTestDir&) = delete;
    DeviceTestDir& operator=(const DeviceTestDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

// A listening unit socket at `path`, bound through its folder's descriptor so that paths too
// long for a socket address work as well.
inline UniqueFd ListenAt(const std::filesystem::path& path) {
    UniqueFd folder(::open(path.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const std::string via =
        "/proc/self/fd/" + std::to_string(folder.Get()) + "/" + path.filename().string();
    UniqueFd listener;
    EXPECT_EQ(ListenUnix(via, listener), 0) << path;
    return listener;
}

}  // namespace platform::testing
