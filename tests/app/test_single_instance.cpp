// One running copy per user, across real kestrixview processes: a second copy asks the first
// to raise its window and ends with status 0; a first copy that crashed blocks nobody.
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "tests/app/ViewerProcess.h"
#include "tests/support/SimulatedBus.h"
#include "tests/support/TempDir.h"

namespace {

using namespace std::chrono_literals;

using Viewer = viewertest::ViewerProcess;

class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_bus.IsRunning());
        ::setenv("XDG_RUNTIME_DIR", m_runtime.Path().c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", m_runtime.Path().c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }

    std::string SocketPath() const {
        return (m_runtime.Path() / ("kestrixview-" + std::to_string(::getuid()) + ".sock"))
            .string();
    }

    // Asks the running first copy to raise its window, as a second copy does; true once it
    // answered within the time.
    bool FirstCopyAnswers(std::chrono::milliseconds timeout = 20s) const {
        const auto end = std::chrono::steady_clock::now() + timeout;
        do {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, SocketPath().c_str(), sizeof(address.sun_path) - 1);
            char answer[16] = {};
            timeval wait{5, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
            const bool answered =
                ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                ::send(fd, "raise\n", 6, MSG_NOSIGNAL) == 6 && ::recv(fd, answer, 15, 0) > 0 &&
                std::string(answer) == "raised\n";
            ::close(fd);
            if (answered) return true;
            std::this_thread::sleep_for(50ms);
        } while (std::chrono::steady_clock::now() < end);
        return false;
    }

    testsupport::SimulatedBus m_bus;
    testsupport::TempDir m_runtime{"kestrix-view-runtime"};
};

TEST_F(SingleInstanceTest, SecondCopyRaisesTheFirstAndEndsWithStatusZero) {
    Viewer first;
    ASSERT_TRUE(FirstCopyAnswers());
    Viewer second;
    EXPECT_EQ(second.Wait(20s), 0);
    EXPECT_EQ(first.Wait(0ms), -1) << "the first copy must keep running";
    EXPECT_TRUE(FirstCopyAnswers(1s));
}

TEST_F(SingleInstanceTest, CrashedFirstCopyDoesNotBlockTheNext) {
    {
        Viewer crashed;
        ASSERT_TRUE(FirstCopyAnswers());
        crashed.Signal(SIGKILL);
        EXPECT_EQ(crashed.Wait(10s), -2);
    }
    Viewer next;
    // It becomes the first copy: it stays and answers on a fresh socket.
    ASSERT_TRUE(FirstCopyAnswers());
    EXPECT_EQ(next.Wait(0ms), -1);
}

}  // namespace
