// What a false result drops reaches the log: a failed register access names its request, address
// and driver status, and a refused capture start says why.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "platform/Log.h"
#include "platform/UniqueFd.h"
#include "tests/camera/CameraTestSupport.h"

namespace {

using namespace cameratest;
using namespace cameratest::reg;

class FailureLog : public CameraTest {
protected:
    FailureLog() : m_log(memfd_create("kestrix-failure-log", 0)) {
        m_previousFd = platform::SetLogFd(m_log.Get());
        platform::ConfigureLog("bus:debug,camera:debug,capture:info");
    }
    ~FailureLog() override {
        platform::ConfigureLog("");
        platform::SetLogFd(m_previousFd);
    }
    std::string Text() const {
        std::string text(static_cast<std::size_t>(lseek(m_log.Get(), 0, SEEK_END)), '\0');
        EXPECT_EQ(pread(m_log.Get(), text.data(), text.size(), 0), ssize_t(text.size()));
        return text;
    }
    static std::string Hex(std::uint64_t value) {
        std::ostringstream out;
        out << platform::Hex(value);
        return out.str();
    }

    platform::UniqueFd m_log;
    int m_previousFd = -1;
};

TEST_F(FailureLog, AFailedWriteAndARefusedStartSayWhy) {
    const std::string address =
        Hex(0xFFFF'0000'0000 | (0xF000'0000 + m_cam.GetCommandBase(0) + kBrightness));
    const DWORD brightness = 0x82000033;
    ASSERT_TRUE(Busctl(m_bus, {"fault", "async-fail"}));
    EXPECT_FALSE(m_cam.WriteRegister(0, kBrightness, &brightness));
    EXPECT_FALSE(m_cam.StartCapture(0, kSpeed400, kSyncSy, 4)) << "no video mode set yet";

    const std::string text = Text();
    const std::size_t bus = text.find(" warn bus: async-write of 4 bytes at the unit ");
    ASSERT_NE(bus, std::string::npos) << text;
    const std::string line = text.substr(bus, text.find('\n', bus) - bus);
    EXPECT_TRUE(line.ends_with(" address " + address + " failed: device failure (status 31)"))
        << line;
    EXPECT_NE(text.find(" debug camera: register write of 1 quadlet(s) at " + address + " failed"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(" warn capture: capture on camera 0 not started: no video mode set\n"),
              std::string::npos)
        << text;
}

}  // namespace
